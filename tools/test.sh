#!/usr/bin/env bash
# Installs the dependencies and runs the test stages named, in the order given; without any, all
# of them in this order (what CI runs, .ci/run):
#   quick  builds (build/) and runs the whole test suite with CTest (as root, the output-file
#          tests also as the user nobody)
#   vm     the end-to-end test in a virtual machine (a real Linux USB stack), from build/
#   san    the whole suite again under AddressSanitizer and UndefinedBehaviorSanitizer (build-san/)
#   tsan   the transport's tests, the operation tests of several threads and the end-to-end
#          suites on the stand-in under ThreadSanitizer (build-tsan/)
#   fuzz   the fuzzers for a bounded time (tools/fuzz.sh)
#   win    the Windows build and its suite under Wine (tools/wintest.sh)
#
#   tools/test.sh [quick|vm|san|tsan|fuzz|win]...
set -euo pipefail
cd "$(dirname "$0")/.."
ALL=(quick vm san tsan fuzz win)
[ $# -gt 0 ] || set -- "${ALL[@]}"
for stage in "$@"; do
  case " ${ALL[*]} " in
    *" $stage "*) ;;
    *) echo "usage: tools/test.sh [quick|vm|san|tsan|fuzz|win]... (all of them by default)" >&2
       exit 2 ;;
  esac
done
bash tools/deps.sh
JOBS=$(nproc)

build() {
  cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DXOL_BUILD_TESTS=ON
  cmake --build build -j "$JOBS"
}

quick() {
  build
  (cd build && ctest --output-on-failure -j "$JOBS")
}

# End to end through a real Linux USB stack, from the installed build (skipped, with a message,
# where qemu-system-x86 cannot be installed; under CI that fails).
vm() {
  build
  bash tests/qemu/run_vm_tests.sh build
}

san() {
  cmake -S . -B build-san -G Ninja -DCMAKE_BUILD_TYPE=Debug -DXOL_SANITIZE=ON -DXOL_BUILD_TESTS=ON
  cmake --build build-san -j "$JOBS"
  (cd build-san && \
    ASAN_OPTIONS=halt_on_error=1:abort_on_error=1:detect_leaks=1:verify_asan_link_order=0 \
    UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    ctest --output-on-failure -j "$JOBS")
}

# The transport's tests, the operation tests of concurrent callers, hot-plug and shutdown, and
# the end-to-end suites (each xolcli run to its exit, every board on the stand-in), on the
# stand-in: Debian's libusb, umockdev and GLib are not instrumented, so races are looked for
# where every library is.
tsan() {
  cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DXOL_TSAN=ON
  cmake --build build-tsan -j "$JOBS"
  # The one reverse lock order of the design (listener registration while the transport is
  # created, before any listener exists) is suppressed by name in tests/sim/tsan.supp.
  (cd build-tsan && TSAN_OPTIONS="halt_on_error=1:suppressions=$PWD/../tests/sim/tsan.supp" \
    XOL_E2E_BUS=standin \
    ctest --output-on-failure -j "$JOBS" -R '^(transport_|ops_concurrency_|ops_table_|e2e_)' -E 'umockdev')
}

fuzz() { bash tools/fuzz.sh; }
win() { bash tools/wintest.sh; }

for stage in "$@"; do
  echo "== test.sh: $stage"
  "$stage"
done
