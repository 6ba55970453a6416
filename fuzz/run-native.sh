#!/usr/bin/env bash
# Builds the core's native libFuzzer target (fuzz/core_fuzzer.cpp), makes its
# seeds from the test writer's files and fuzzes for SECONDS (default 60).
# Any finding (a crash, a sanitizer report, an input slower than 10 s or
# memory beyond 2 GiB) fails, with the input in fuzz/out/native-*. Safe to
# run again: the build and the corpus (fuzz/out/native-corpus) are reused.
#
#   fuzz/run-native.sh [SECONDS]
#
# Needs cmake and libzstd-dev (as the main build does); installs clang when
# it is missing. PYTHON names the interpreter that runs the test writer
# (default .venvs/test/bin/python, the test environment that ./dev makes).
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"

command -v clang++ >/dev/null || apt-get install -y clang || { apt-get update && apt-get install -y clang; }
python="${PYTHON:-.venvs/test/bin/python}"
if [ ! -x "$python" ]; then
  echo "run-native.sh: $python is missing; ./dev stubs (or ./dev test) makes .venvs/test" >&2
  exit 1
fi

cmake -S . -B build/fuzz-native -DZARN_FUZZ_NATIVE=ON -DCMAKE_CXX_COMPILER=clang++
cmake --build build/fuzz-native --parallel 2

"$python" fuzz/make_seeds.py fuzz/out/seeds
"$python" fuzz/native_seeds.py fuzz/out/seeds fuzz/out/native-seeds
mkdir -p fuzz/out/native-corpus

UBSAN_OPTIONS=print_stacktrace=1 build/fuzz-native/fuzz/core_fuzzer \
  -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
  -dict=fuzz/zarn.dict -artifact_prefix=fuzz/out/native- \
  fuzz/out/native-corpus fuzz/out/seeds fuzz/out/native-seeds
