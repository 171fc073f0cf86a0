#!/bin/sh
# A pack's executable needs nothing from the system but glibc: the C++ runtime and expat are linked
# in, and libplist is found in the bundle's Frameworks folder first.
set -eu
dynamic=$(readelf -d "$1")
printf '%s\n' "$dynamic" | grep -E 'NEEDED|RUNPATH'
if printf '%s\n' "$dynamic" | grep -E 'NEEDED.*(libstdc\+\+|libgcc_s|libc\+\+)'; then
  echo "needs a shared C++ runtime" >&2
  exit 1
fi
# Beyond glibc, only what the bundle carries: libplist. expat is linked in.
if printf '%s\n' "$dynamic" | grep 'NEEDED' |
  grep -vE '\[(libc|libm|libdl|libpthread|librt|ld-linux[^]]*)\.so[^]]*\]|\[libplist-2\.0\.so\.3\]'; then
  echo "needs a shared library the bundle does not carry" >&2
  exit 1
fi
if ! printf '%s\n' "$dynamic" | grep -qF 'RUNPATH)            Library runpath: [$ORIGIN/../Frameworks]'; then
  echo "no RUNPATH into the bundle's Frameworks folder" >&2
  exit 1
fi
