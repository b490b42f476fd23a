#!/bin/sh
# Runs a command with the sanitizer runtime preloaded into the interpreter.
#   tools/sanitizers/run.sh gcc   CMD...   gcc's ASan + UBSan (the test-asan build)
#   tools/sanitizers/run.sh RUNTIME.so CMD...   another runtime (atheris' clang one)
# PYTHONMALLOC=malloc sends every object allocation through malloc, so ASan sees
# each one; LSan reports what is unreachable at exit, minus the suppressions.
here=$(cd "$(dirname "$0")" && pwd)
runtime=$1; shift
if [ "$runtime" = gcc ]; then
  runtime="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libubsan.so)"
  # libstdc++ must be loaded before the extension: ASan intercepts its operator new.
fi
export LD_PRELOAD="$runtime${LD_PRELOAD:+ $LD_PRELOAD}"
export PYTHONMALLOC=malloc
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0:halt_on_error=1:detect_stack_use_after_return=0:check_initialization_order=1:strict_init_order=1:allocator_may_return_null=1${ASAN_OPTIONS:+:$ASAN_OPTIONS}"
export LSAN_OPTIONS="suppressions=$here/lsan.supp:print_suppressions=0${LSAN_OPTIONS:+:$LSAN_OPTIONS}"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1${UBSAN_OPTIONS:+:$UBSAN_OPTIONS}"
exec "$@"
