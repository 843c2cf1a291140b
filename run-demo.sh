#!/bin/sh
# Installs what is missing, builds the demo and plays it from data/.
set -e
cd "$(dirname "$0")"
./install-deps.sh demo
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build --target mosaic-demo -j"$(nproc)"
cd data
exec ../build/mosaic-demo
