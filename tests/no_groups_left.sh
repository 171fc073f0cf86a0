#!/bin/sh
# The checks the tests ran left no control group behind, nor did the tests' own groups stay: a
# group a check could not remove at once is one nobody would.
#   no_groups_left.sh --record FILE   notes the groups already there (another run's, on a shared
#                                     machine), which the check then leaves out
#   no_groups_left.sh [FILE]          fails on any group not named in FILE
set -eu
groups() {
  for mount in $(findmnt -n -t cgroup2 -o TARGET 2>/dev/null); do
    find "$mount" -mindepth 1 -type d \( -name 'quality-pack-check-*' -o -name 'qp-test-*' \) 2>/dev/null
  done | sort
}
if [ "${1:-}" = --record ]; then
  groups >"$2"
  exit 0
fi
before="${1:-/dev/null}"
left="$(groups | comm -23 - "$before")"
if [ -n "$left" ]; then
  echo "control groups left behind by the tests:" >&2
  printf '%s\n' "$left" >&2
  exit 1
fi
