#!/bin/sh
# The desktop libraries are loaded at run time in the notice mode only: the executable must not
# be linked against any of them.
set -eu
libraries=$(ldd "$1")
printf '%s\n' "$libraries"
if printf '%s\n' "$libraries" | grep -Ei 'gtk|gdk|glib|gio|gobject|x11|xcb|wayland'; then
  echo "linked against a desktop library" >&2
  exit 1
fi
