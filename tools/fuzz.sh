#!/usr/bin/env bash
# Builds the fuzz targets with clang and runs each for a bounded time (XOL_FUZZ_SECONDS, default
# 60): the platform configuration parser, seeded with the sample files, and the protocol engine,
# seeded with every command's exchange recorded from the simulated board.
set -euo pipefail
cd "$(dirname "$0")/.."
SECONDS_BUDGET=${XOL_FUZZ_SECONDS:-60}
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=Debug -DXOL_FUZZ=ON
cmake --build build-fuzz -j "$(nproc)" --target platform_config_fuzz protocol_fuzz protocol_fuzz_seeds
export ASAN_OPTIONS=halt_on_error=1:abort_on_error=1:detect_leaks=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
corpus=build-fuzz/corpus/platform_config
mkdir -p "$corpus"
cp tests/data/*.xml "$corpus"/
build-fuzz/bin/platform_config_fuzz -max_total_time="$SECONDS_BUDGET" -max_len=8192 \
  -dict=tests/fuzz/platform_config.dict -artifact_prefix=build-fuzz/ "$corpus"

corpus=build-fuzz/corpus/protocol
seeds=build-fuzz/corpus/protocol-seeds
rm -rf "$seeds"
mkdir -p "$corpus" "$seeds"
build-fuzz/bin/protocol_fuzz_seeds "$seeds"
# New inputs go to the first folder; the seeds are written afresh each run.
build-fuzz/bin/protocol_fuzz -max_total_time="$SECONDS_BUDGET" -max_len=8192 \
  -dict=tests/fuzz/protocol_fuzzer.dict -artifact_prefix=build-fuzz/ "$corpus" "$seeds"
