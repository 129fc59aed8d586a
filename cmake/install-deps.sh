#!/usr/bin/env bash
# Installs what Quiltcam needs on Debian 12 or 13, as root: the compilers, SDL 1.2, the camera
# libraries (libv4l2, the PipeWire client, libyuv, libjpeg-turbo), and what the tests drive the
# programs with (GoogleTest, Google Benchmark, Xvfb, xdotool, clang's libFuzzer, a PipeWire
# daemon with WirePlumber), and a QEMU guest that boots Debian's own kernel for its virtual
# webcam, vivid (and udev there, for PipeWire to hear of cameras coming and going).
#   install-deps.sh package   also what checks the Debian package (lintian, AppStream, debootstrap)
set -eu
packages=(
  g++ cmake pkg-config
  libsdl1.2-compat-dev libv4l-dev libpipewire-0.3-dev libyuv-dev libturbojpeg0-dev
  pipewire wireplumber dbus
  libgtest-dev libgmock-dev libbenchmark-dev
  xvfb xdotool x11-utils x11-apps libx11-dev matchbox-window-manager tesseract-ocr tesseract-ocr-eng
  clang libclang-rt-dev
)
guest=(qemu-system-x86 linux-image-amd64 busybox-static v4l-utils kmod cpio xz-utils zstd udev)
[ "${1:-}" = package ] && guest+=(lintian appstream desktop-file-utils debootstrap file man-db)

export DEBIAN_FRONTEND=noninteractive
missing() {
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || echo "$p"
  done
}
need=($(missing "${packages[@]}")) needGuest=($(missing "${guest[@]}"))
[ $((${#need[@]} + ${#needGuest[@]})) -eq 0 ] || apt-get update -qq
[ ${#need[@]} -eq 0 ] || apt-get install -y -qq "${need[@]}"
[ ${#needGuest[@]} -eq 0 ] || apt-get install -y -qq --no-install-recommends "${needGuest[@]}"
