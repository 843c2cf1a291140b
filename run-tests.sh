#!/bin/sh
# Installs what is missing, then builds and runs every test: the plain build
# (with the live-camera variant and the vivid run), and again under
# AddressSanitizer and UndefinedBehaviorSanitizer with warnings as errors.
set -e
cd "$(dirname "$0")"
./install-deps.sh
jobs=$(nproc)

for preset in plain sanitizer; do
  cmake --preset "$preset"
  cmake --build --preset "$preset" -j"$jobs"
  ctest --preset "$preset" -j"$jobs"
done
