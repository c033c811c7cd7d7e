#!/usr/bin/env bash
# Installs the dependencies, builds and installs into ./stage, and runs xolcli with the given
# arguments; without any, it lists the attached devices (--command enumerate).
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DXOL_BUILD_TESTS=OFF
cmake --build build -j "$(nproc)"
cmake --install build --prefix stage >/dev/null
[ $# -gt 0 ] || set -- --command enumerate
exec stage/bin/xolcli "$@"
