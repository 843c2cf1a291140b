#!/bin/sh
# Installs the Debian 12 packages that building, running and testing need,
# asking apt only when one of them is missing.
set -e
packages="build-essential cmake pkg-config python3-glad
  libsdl2-dev libsdl2-mixer-dev libglm-dev libstb-dev
  libgtest-dev libbenchmark-dev libhwy-dev libvorbis-dev libogg-dev fonts-dejavu-core
  clang libclang-rt-14-dev zlib1g-dev
  xvfb xauth xdotool libx11-dev libgl-dev libgl1-mesa-dri libglx-mesa0
  libegl-dev libegl-mesa0 ffmpeg
  qemu-system-x86 busybox-static cpio kmod v4l-utils"
missing=""
for p in $packages; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed' || missing="$missing $p"
done
if [ -n "$missing" ]; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo=sudo
  $sudo apt-get update -q
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends $missing
fi
