#!/bin/sh
# A pack runs on glibc FLOOR or newer: its executable and the libraries in Contents/Frameworks ask
# for no newer symbol version, whatever processor they are built for (readelf reads any ELF file).
#   needs_glibc_floor.sh FLOOR BUNDLE
set -eu
floor="$1"
contents="$2/Contents"
status=0
checked=0
for file in "$contents"/MacOS/* "$contents"/Frameworks/*; do
  [ -f "$file" ] || continue
  # What it needs, not what it defines (a library lists its own versions first).
  versions=$(readelf -V -W "$file" | sed -n '/^Version needs section/,/^$/p')
  newest=$(printf '%s\n' "$versions" | sed -n 's/.*Name: GLIBC_\([0-9][0-9.]*\).*/\1/p' | sort -uV | tail -n 1)
  # glibc 2.36 marks a file whose relocations are packed (DT_RELR) with a version of its own.
  if printf '%s\n' "$versions" | grep -q 'Name: GLIBC_ABI_DT_RELR'; then
    newest=$(printf '%s\n2.36\n' "$newest" | sort -uV | tail -n 1)
  fi
  echo "$file: glibc ${newest:-(none)}"
  if [ -n "$newest" ] && [ "$(printf '%s\n%s\n' "$floor" "$newest" | sort -V | tail -n 1)" != "$floor" ]; then
    echo "$file needs glibc $newest, newer than $floor" >&2
    status=1
  fi
  checked=$((checked + 1))
done
if [ "$checked" -lt 2 ]; then
  echo "no executable and library to check in $contents" >&2
  exit 1
fi
exit $status
