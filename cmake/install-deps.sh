#!/usr/bin/env bash
# Installs what Quiltcam needs on Debian 12, as root: the compilers, SDL 1.2, libv4l2, and
# what the tests drive the programs with (GoogleTest, Google Benchmark, Xvfb, xdotool, clang's
# libFuzzer).
set -eu
packages=(
  g++ cmake pkg-config
  libsdl1.2-compat-dev libv4l-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  xvfb xdotool x11-utils libx11-dev matchbox-window-manager
  clang libclang-rt-14-dev
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${missing[@]}"
fi
