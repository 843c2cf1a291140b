#!/bin/sh
# Installs what is missing, then builds and runs every test: the plain build,
# the live-camera variant, and both again under AddressSanitizer and
# UndefinedBehaviorSanitizer.
set -e
cd "$(dirname "$0")"
./install-deps.sh
jobs=$(nproc)

run_build() {
  dir=$1
  shift
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@"
  cmake --build "$dir" -j"$jobs"
  ctest --test-dir "$dir" --output-on-failure
}

run_build build
run_build build-asan -DMOSAIC_SANITIZE=ON -DMOSAIC_BENCH=OFF
