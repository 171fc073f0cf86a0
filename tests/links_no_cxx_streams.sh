#!/bin/sh
# Every start of the pack pays for what the executable sets up before main: the C++ streams would
# bring their locale machinery, twice its size in code and relocations, and build it at every
# start (<iostream>) for text the pack writes through the C library anyway.
set -eu
if nm -C "$1" | grep -E 'std::(ios_base|locale|basic_ios)\b'; then
  echo "links the C++ streams" >&2
  exit 1
fi
