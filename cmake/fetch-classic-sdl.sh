#!/usr/bin/env bash
# Unpacks Debian 12's classic SDL 1.2.15 (headers and library) into build/classic-sdl, beside the
# system's sdl12-compat whose -dev package conflicts with it, and installs its one missing
# run-time dependency. For the "classic" preset.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
dest=$top/build/classic-sdl
if [ ! -e "$dest/usr/lib/x86_64-linux-gnu/libSDL-1.2.so.0" ]; then
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
  (cd "$work" && "$top/cmake/bookworm-apt.sh" download libsdl1.2-dev=1.2.15+dfsg2-8 libsdl1.2debian=1.2.15+dfsg2-8 >/dev/null)
  mkdir -p "$dest"
  for deb in "$work"/*.deb; do dpkg -x "$deb" "$dest"; done
fi
dpkg-query -W -f='${Status}' libcaca0 2>/dev/null | grep -q 'install ok installed' ||
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libcaca0
