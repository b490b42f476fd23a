#!/bin/sh
# fuzz/run.sh PYTHON SECONDS [libFuzzer args...]
# Fuzzes for SECONDS with atheris' libFuzzer and clang's ASan runtime preloaded;
# the extension in PYTHON's environment is built with -fsanitize=fuzzer-no-link,
# so libFuzzer sees the extension's own edges. FUZZ_TARGET picks the target of
# fuzz/fuzz.py: decode (the default), json (JSON text) or tree (JSON value trees).
# New inputs go to build/fuzz/corpus (corpus_json, corpus_tree), crashes to
# build/fuzz/crashes (json-*, tree-*; turn them into fuzz/regressions,
# fuzz/regressions_json or fuzz/regressions_tree cases).
set -e
py=$1; seconds=$2; shift 2
target=${FUZZ_TARGET:-decode}
case $target in
  decode) seeds=corpus; prefix=; max_len=4096 ;;
  json) seeds=corpus_json; prefix=json-; max_len=8192 ;;
  tree) seeds=corpus_tree; prefix=tree-; max_len=4096 ;;
  *) echo "unknown FUZZ_TARGET $target (decode, json or tree)" >&2; exit 2 ;;
esac
root=$(cd "$(dirname "$0")/.." && pwd)
work=$root/build/fuzz
mkdir -p "$work/$seeds" "$work/crashes"
# The descriptor set is compiled before the sanitizer runtime is preloaded.
"$py" -m grpc_tools.protoc -I"$root/tests/protos" --include_imports \
  --descriptor_set_out="$work/hostile.binpb" test_hostile_proto2.proto
export VELUM_HOSTILE_SET="$work/hostile.binpb"
runtime=$("$py" -c 'import atheris, os; print(os.path.join(atheris.path(), "asan_with_fuzzer.so"))')
# Leaks are the hygiene tests' job here: libFuzzer's own leak check would stop at
# the first interpreter allocation it cannot attribute.
ASAN_OPTIONS="detect_leaks=0" "$root/tools/sanitizers/run.sh" "$runtime" \
  "$py" "$root/fuzz/fuzz.py" "$target" "$work/$seeds" "$root/fuzz/$seeds" \
  -max_total_time="$seconds" -timeout=20 -rss_limit_mb=6144 -max_len=$max_len \
  -artifact_prefix="$work/crashes/$prefix" -print_final_stats=1 "$@"
