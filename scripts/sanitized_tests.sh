#!/usr/bin/env bash
# Runs the Python test suite against a build of the module instrumented with
# AddressSanitizer and UndefinedBehaviorSanitizer. Any out-of-bounds access, use after free
# or undefined behaviour in the engine or the bindings aborts the run with a report.
#
#   bash scripts/sanitized_tests.sh [pytest arguments...]
#
# The build lives in build/sanitized; the module is imported from there, not from the venv.
set -euo pipefail
cd "$(dirname "$0")/.."
[ -x .venv/bin/python ] || bash scripts/setup.sh
py=$PWD/.venv/bin/python

flags="-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer -g"
cmake -S . -B build/sanitized -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_CXX_FLAGS="$flags" \
  -DCMAKE_SHARED_LINKER_FLAGS="-fsanitize=address,undefined" \
  -DCMAKE_MODULE_LINKER_FLAGS="-fsanitize=address,undefined" \
  -Dpybind11_DIR="$($py -m pybind11 --cmakedir)" -DPython_EXECUTABLE="$py" >/dev/null
cmake --build build/sanitized -j"$(nproc)"

# The interpreter itself is not instrumented, so the AddressSanitizer runtime has to be
# loaded first, with the C++ runtime whose exceptions it intercepts. Python's own allocator is switched off so that the sanitizer sees every
# buffer the module reads. Leak checking stays off here: the interpreter deliberately keeps
# objects alive at exit. (The fuzz targets check the engine for leaks.)
export LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so)"
export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1${CORVANE_SANITIZER_LOG:+:log_path=$CORVANE_SANITIZER_LOG}"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1${CORVANE_SANITIZER_LOG:+:log_path=$CORVANE_SANITIZER_LOG}"
export PYTHONMALLOC=malloc
# Tests that feed hundreds of megabytes shrink their inputs under the sanitizers, whose
# shadow memory and checks would make them take minutes and gigabytes; the shared corpora
# are read as their first 128 KB (tests/conftest.py).
export CORVANE_SANITIZED=1
PYTHONPATH=build/sanitized exec "$py" -m pytest -q -p no:cacheprovider -n auto "${@:-tests}"
