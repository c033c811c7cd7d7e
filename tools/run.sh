#!/usr/bin/env bash
# Installs the dependencies, builds the deliverables and the simulated boards the README's
# "Trying it without a board" preloads, installs into ./stage, and runs xolcli with the given
# arguments; without any, it lists the attached devices (--command enumerate). The build folder
# is configured as tools/test.sh configures it, so the two share it.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DXOL_BUILD_TESTS=ON
cmake --build build -j "$(nproc)" --target xolcli vemoapi xol_e2e_bed_umockdev xol_e2e_bed_standin
cmake --install build --prefix stage >/dev/null
[ $# -gt 0 ] || set -- --command enumerate
exec stage/bin/xolcli "$@"
