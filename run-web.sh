#!/bin/sh
# Installs what is missing, builds the web page into build-web/ and serves it
# on this computer, at the address it prints (port 8000, or the one given).
#   ./run-web.sh [PORT]
set -e
cd "$(dirname "$0")"
./install-deps.sh web
cmake --preset web
cmake --build --preset web -j"$(nproc)"
exec python3 -m http.server --bind 127.0.0.1 --directory build-web "${1:-8000}"
