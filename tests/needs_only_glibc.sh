#!/bin/sh
# A pack's executable needs nothing from the system but glibc: the C++ runtime is linked in, and
# the other libraries it needs are found in the bundle's Frameworks folder first.
set -eu
dynamic=$(readelf -d "$1")
printf '%s\n' "$dynamic" | grep -E 'NEEDED|RUNPATH'
if printf '%s\n' "$dynamic" | grep -E 'NEEDED.*(libstdc\+\+|libgcc_s|libc\+\+)'; then
  echo "needs a shared C++ runtime" >&2
  exit 1
fi
if ! printf '%s\n' "$dynamic" | grep -qF 'RUNPATH)            Library runpath: [$ORIGIN/../Frameworks]'; then
  echo "no RUNPATH into the bundle's Frameworks folder" >&2
  exit 1
fi
