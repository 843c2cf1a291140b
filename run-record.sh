#!/bin/sh
# Installs what is missing, builds the recorder and records the demo from
# data/, the whole track at 1920x1080 and 60 frames a second, into mosaic.mp4
# beside this script. Arguments replace that and go to mosaic-record as they
# are (see --help); relative paths in them are taken from data/.
set -e
cd "$(dirname "$0")"
./install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build --target mosaic-record -j"$(nproc)"
cd data
if [ $# -eq 0 ]; then
  set -- ../mosaic.mp4
fi
exec ../build/mosaic-record "$@"
