#!/bin/sh
# fuzz/run.sh PYTHON SECONDS [libFuzzer args...]
# Fuzzes for SECONDS with atheris' libFuzzer and clang's ASan runtime preloaded;
# the extension in PYTHON's environment is built with -fsanitize=fuzzer-no-link,
# so libFuzzer sees the extension's own edges. New inputs go to build/fuzz/corpus,
# crashes to build/fuzz/crashes (turn them into tests/python/test_fuzz_regressions.py cases).
set -e
py=$1; seconds=$2; shift 2
root=$(cd "$(dirname "$0")/.." && pwd)
work=$root/build/fuzz
mkdir -p "$work/corpus" "$work/crashes"
# The descriptor set is compiled before the sanitizer runtime is preloaded.
"$py" -m grpc_tools.protoc -I"$root/tests/protos" --include_imports \
  --descriptor_set_out="$work/hostile.binpb" test_hostile_proto2.proto
export VELUM_HOSTILE_SET="$work/hostile.binpb"
runtime=$("$py" -c 'import atheris, os; print(os.path.join(atheris.path(), "asan_with_fuzzer.so"))')
# Leaks are the hygiene tests' job here: libFuzzer's own leak check would stop at
# the first interpreter allocation it cannot attribute.
ASAN_OPTIONS="detect_leaks=0" "$root/tools/sanitizers/run.sh" "$runtime" \
  "$py" "$root/fuzz/fuzz_decode.py" "$work/corpus" "$root/fuzz/corpus" \
  -max_total_time="$seconds" -timeout=20 -rss_limit_mb=6144 -max_len=4096 \
  -artifact_prefix="$work/crashes/" -print_final_stats=1 "$@"
