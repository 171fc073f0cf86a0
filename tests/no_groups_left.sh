#!/bin/sh
# The checks the tests ran left no control group behind, nor did the tests' own groups stay: a
# group a check could not remove at once is one nobody would.
set -eu
left=""
for mount in $(findmnt -n -t cgroup2 -o TARGET 2>/dev/null); do
  left="$left$(find "$mount" -mindepth 1 -type d \( -name 'quality-pack-check-*' -o -name 'qp-test-*' \) 2>/dev/null)"
done
if [ -n "$left" ]; then
  echo "control groups left behind by the tests:" >&2
  printf '%s\n' "$left" >&2
  exit 1
fi
