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
# Nesting at the bound; one level past it, whole; and far past it, never closed: each level
# holding markup that the reader and a scan of the text could read differently (a declaration
# with brackets, quotes in a name). All but the first are refused, and one mutation of that
# markup must not let the nesting through. max_len lets inputs reach the depth that exhausts the
# parsing thread's stack.
repeat() { for ((i = 0; i < $1; ++i)); do printf '%s' "$2"; done; }
nest() { printf '<config>%s%s</config>' "$(repeat "$1" "$2")" "$(repeat "$1" '</a>')"; }
nest 63 '<a>' >"$corpus"/nest-64.xml
nest 64 '<a><!x [ ]>' >"$corpus"/nest-65-declaration.xml
nest 64 "<a'b'>" >"$corpus"/nest-65-quotes.xml
{ printf '<config>'; repeat 400 '<a><!x [ ]>'; } >"$corpus"/deep-declaration.xml
{ printf '<config>'; repeat 400 "<a'b'>"; } >"$corpus"/deep-quotes.xml
build-fuzz/bin/platform_config_fuzz -max_total_time="$SECONDS_BUDGET" -max_len=65536 \
  -dict=tests/fuzz/platform_config.dict -artifact_prefix=build-fuzz/ "$corpus"

corpus=build-fuzz/corpus/protocol
seeds=build-fuzz/corpus/protocol-seeds
rm -rf "$seeds"
mkdir -p "$corpus" "$seeds"
build-fuzz/bin/protocol_fuzz_seeds "$seeds"
# New inputs go to the first folder; the seeds are written afresh each run.
build-fuzz/bin/protocol_fuzz -max_total_time="$SECONDS_BUDGET" -max_len=8192 \
  -dict=tests/fuzz/protocol_fuzzer.dict -artifact_prefix=build-fuzz/ "$corpus" "$seeds"
