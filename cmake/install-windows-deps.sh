#!/usr/bin/env bash
# Installs what the Windows programs need on Debian 12 or 13, as root: the MinGW-w64 cross
# compiler, the source of classic SDL 1.2.15 from Debian 12's archive (unpacked into
# build/windows-sdl-source, which the windows preset builds once), and, with "wine", Wine for
# running them: 32-bit Wine and, on kernels that cannot run 32-bit programs themselves, qemu's
# user-mode emulator for them.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
export DEBIAN_FRONTEND=noninteractive

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }
need=()
for p in g++-mingw-w64-i686-win32 binutils-mingw-w64-i686 dpkg-dev nsis zip; do installed "$p" || need+=("$p"); done

updated=no
if [ "${1:-}" = wine ]; then
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
    updated=yes
  fi
  for p in wine wine32:i386 wine32-preloader:i386 libv4l-0:i386 xvfb xdotool x11-apps qemu-user-static; do installed "$p" || need+=("$p"); done
fi
if [ $updated = yes ] || [ ${#need[@]} -gt 0 ]; then apt-get update -qq; fi
[ ${#need[@]} -eq 0 ] || apt-get install -y -qq --no-install-recommends "${need[@]}"

source=$top/build/windows-sdl-source
if [ ! -x "$source/configure" ]; then
  work=$(mktemp -d)
  (cd "$work" && "$top/cmake/bookworm-apt.sh" source -qq libsdl1.2=1.2.15+dfsg2-8 >/dev/null)
  rm -rf "$source"
  mkdir -p "$top/build"
  mv "$work"/libsdl1.2-1.2.15* "$source"
  rm -rf "$work"
fi

if [ "${1:-}" = wine ]; then
  # Can this kernel run 32-bit x86 programs? If not, hand them to qemu.
  if ! /usr/lib/wine/wine --version >/dev/null 2>&1; then
    mountpoint -q /proc/sys/fs/binfmt_misc || mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
    if [ ! -e /proc/sys/fs/binfmt_misc/qemu-i386 ]; then
      echo ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386-static:F' \
        >/proc/sys/fs/binfmt_misc/register
    fi
    /usr/lib/wine/wine --version >/dev/null
  fi
fi
