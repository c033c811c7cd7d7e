#!/usr/bin/env bash
# Installs the dependencies, builds and installs into ./stage, and runs xolcli with the given
# arguments (by default it lists the attached devices).
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DXOL_BUILD_TESTS=OFF
cmake --build build -j "$(nproc)"
cmake --install build --prefix stage >/dev/null
if [ $# -eq 0 ]; then set -- --command enumerate; fi
exec stage/bin/xolcli "$@"
