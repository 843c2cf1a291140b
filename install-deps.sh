#!/bin/sh
# Installs the Debian 12 packages that building and running the demo need, and
# with no argument also those of the tests, benchmarks and asset tools; apt is
# asked only when one of them is missing.
#   ./install-deps.sh        everything
#   ./install-deps.sh demo   the demo alone
#   ./install-deps.sh web    the web page alone
set -e
demo="build-essential cmake pkg-config python3-glad help2man
  libsdl2-dev libvorbis-dev libpulse-dev libpipewire-0.3-dev libasound2-dev libglm-dev libstb-dev zlib1g-dev libx11-dev libwayland-dev wayland-protocols
  libsdl2-ttf-dev libfontconfig-dev fonts-dejavu-core libudev-dev
  libgl-dev libgl1-mesa-dri libglx-mesa0 libegl-dev libegl-mesa0"
# The page is built from the same headers by Debian's emscripten, and served
# by Python's own web server.
web="emscripten cmake python3 libglm-dev libstb-dev"
rest="libgtest-dev libbenchmark-dev libhwy-dev libogg-dev
  clang libclang-rt-14-dev
  xvfb xauth xdotool xserver-xorg-core xserver-xorg-video-dummy weston libweston-10-dev xwayland ffmpeg
  mesa-vulkan-drivers
  dbus pipewire pipewire-bin pipewire-pulse wireplumber pulseaudio pulseaudio-utils
  qemu-system-x86 busybox-static cpio kmod v4l-utils
  lintian desktop-file-utils appstream
  chromium nlohmann-json3-dev"
case "$1" in
  demo) packages=$demo ;;
  web) packages=$web ;;
  "") packages="$demo $web $rest" ;;
  *) echo "usage: $0 [demo|web]" >&2; exit 1 ;;
esac
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
