#!/usr/bin/env bash
# Builds fuzz/out/asan_with_fuzzer.so: clang's AddressSanitizer runtime (with
# UndefinedBehaviorSanitizer) and libFuzzer in one library, preloaded into
# the interpreter so that atheris drives libFuzzer with the coverage of the
# instrumented extension modules.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
rt="$(dirname "$(clang -print-file-name=libclang_rt.asan-x86_64.a)")"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
mkdir -p "$here/out" "$work/fuzzer"
cp "$rt/libclang_rt.asan-x86_64.a" "$work/runtime.a"
# The preinit section is not allowed in a shared object.
ar d "$work/runtime.a" asan_preinit.cpp.o
(cd "$work/fuzzer" && ar x "$rt/libclang_rt.fuzzer_no_main-x86_64.a")
ar r "$work/runtime.a" "$work"/fuzzer/*.o 2>/dev/null
clang++ -shared -o "$here/out/asan_with_fuzzer.so" \
  -Wl,--whole-archive "$work/runtime.a" "$rt/libclang_rt.asan_cxx-x86_64.a" -Wl,--no-whole-archive \
  -lpthread -ldl -lrt -lm
echo "$here/out/asan_with_fuzzer.so"
