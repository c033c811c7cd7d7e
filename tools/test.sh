#!/usr/bin/env bash
# Installs the dependencies, builds, and runs the whole test suite twice: as built, and again
# under AddressSanitizer and UndefinedBehaviorSanitizer; then the transport's tests and the
# operation tests of several threads under ThreadSanitizer, and the fuzzers for a bounded time.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/deps.sh
JOBS=$(nproc)

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j "$JOBS"
(cd build && ctest --output-on-failure -j "$JOBS")

cmake -S . -B build-san -G Ninja -DCMAKE_BUILD_TYPE=Debug -DXOL_SANITIZE=ON
cmake --build build-san -j "$JOBS"
(cd build-san && \
  ASAN_OPTIONS=halt_on_error=1:abort_on_error=1:detect_leaks=1:verify_asan_link_order=0 \
  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
  ctest --output-on-failure -j "$JOBS")

# The transport's tests, and the operation tests of concurrent callers, hot-plug and shutdown,
# once more under ThreadSanitizer (races inside umockdev and GLib themselves are suppressed).
cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DXOL_TSAN=ON
cmake --build build-tsan -j "$JOBS"
(cd build-tsan && \
  TSAN_OPTIONS="halt_on_error=1:suppressions=$PWD/../tests/sim/tsan.supp" \
  ctest --output-on-failure -j "$JOBS" -R '^(transport_|ops_concurrency_|ops_table_)')

bash tools/fuzz.sh
