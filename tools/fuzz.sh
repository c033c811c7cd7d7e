#!/usr/bin/env bash
# Builds the fuzz targets with clang and runs each for a bounded time (XOL_FUZZ_SECONDS, default
# 60): the platform configuration parser, seeded with the sample files, and the protocol engine.
set -euo pipefail
cd "$(dirname "$0")/.."
SECONDS_BUDGET=${XOL_FUZZ_SECONDS:-60}
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=Debug -DXOL_FUZZ=ON
cmake --build build-fuzz -j "$(nproc)" --target platform_config_fuzz protocol_fuzz
corpus=build-fuzz/corpus/platform_config
mkdir -p "$corpus"
cp tests/data/*.xml "$corpus"/
ASAN_OPTIONS=halt_on_error=1:abort_on_error=1:detect_leaks=1 \
UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
  build-fuzz/bin/platform_config_fuzz -max_total_time="$SECONDS_BUDGET" -max_len=8192 \
  -dict=tests/fuzz/platform_config.dict -artifact_prefix=build-fuzz/ "$corpus"

corpus=build-fuzz/corpus/protocol
mkdir -p "$corpus"
ASAN_OPTIONS=halt_on_error=1:abort_on_error=1:detect_leaks=1 \
UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
  build-fuzz/bin/protocol_fuzz -max_total_time="$SECONDS_BUDGET" -max_len=4096 \
  -artifact_prefix=build-fuzz/ "$corpus"
