#!/usr/bin/env bash
# Coverage-guided fuzzing of the C++ engine: libFuzzer with AddressSanitizer and
# UndefinedBehaviorSanitizer, one binary per fuzz/fuzz_<name>.cc.
#
#   bash scripts/fuzz.sh build                    build every target into build/fuzz
#   bash scripts/fuzz.sh smoke [SECONDS]          build, then run each target SECONDS (30)
#                                                 from its seeds; fails on any finding
#   bash scripts/fuzz.sh run TARGET [ARGS...]     long run of one target (libFuzzer ARGS,
#                                                 e.g. -runs=10000000 or -jobs=2)
#   bash scripts/fuzz.sh list                     the target names
#
# Environment: FUZZ_BUILD_DIR (default build/fuzz), FUZZ_CORPUS_DIR (working corpora of
# `run`, default build/fuzz/corpus; one directory per target), CXX (default clang++),
# FUZZ_OPT (optimisation flag, default -O1; -O2 roughly doubles the rate of long runs, use
# it with its own FUZZ_BUILD_DIR).
# Seeds in fuzz/seeds/<target>/ are only read, never written.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=${FUZZ_BUILD_DIR:-$ROOT/build/fuzz}
CORPUS_ROOT=${FUZZ_CORPUS_DIR:-$BUILD/corpus}
CXX=${CXX:-clang++}

TARGETS=()
for f in "$ROOT"/fuzz/fuzz_*.cc; do
  name=$(basename "$f" .cc)
  TARGETS+=("${name#fuzz_}")
done

SAN_FLAGS=(-fsanitize=address,undefined -fno-sanitize-recover=undefined)
CXXFLAGS=(-std=c++20 "${FUZZ_OPT:--O1}" -g -fno-omit-frame-pointer -I"$ROOT/src" -I"$ROOT/fuzz"
  -I"$BUILD/generated")
# Libraries of the engine, as CMake links them.
LIBS=(-lpcre2-8 -lonig -licuuc)

# Longest input per target: whole files for the loaders, shorter texts elsewhere.
max_len_of() {
  case $1 in
    # Documents of small trained tokenizers, a few kilobytes each.
    pipeline_loader) echo 12288 ;;
    *_loader) echo 65536 ;;
    compressor) echo 16384 ;;
    # Inputs of the differential targets expand (phrases) or meet quadratic references.
    compressor_diff) echo 2048 ;;
    # The scanner targets double each input (raw, and mapped onto many-byte characters).
    scanner_*) echo 1024 ;;
    # The added-token reference decodes the whole prefix at each match.
    added_tokens) echo 512 ;;
    *) echo 4096 ;;
  esac
}

# Comparison tracing (trace-cmp) lets libFuzzer solve the engine's comparisons. In a
# harness source it would trace the plain reference implementations too, which only steers
# the fuzzer toward their branches and costs about a third of every run, so it is off
# there, except where the harness compiles engine code itself (merge_diff instantiates the
# merge engine's template, json_events the fast JSON reader's).
harness_cov_of() {
  case $1 in
    merge_diff | json_events) ;;
    *) echo -fno-sanitize-coverage=trace-cmp ;;
  esac
}

# Dictionary per target, when there is one.
dict_of() {
  case $1 in
    hf_json_loader | pipeline_loader | json_events) echo "$ROOT/fuzz/dicts/json.dict" ;;
    tiktoken_loader) echo "$ROOT/fuzz/dicts/tiktoken.dict" ;;
    vocab_loader | wordpiece) echo "$ROOT/fuzz/dicts/wordpiece.dict" ;;
    compressor | compressor_diff) echo "$ROOT/fuzz/dicts/phrases.dict" ;;
    bpe_encode) echo "$ROOT/fuzz/dicts/text.dict" ;;
    scanner_*) echo "$ROOT/fuzz/dicts/scanner.dict" ;;
    decoders) echo "$ROOT/fuzz/dicts/decoders.dict" ;;
    post_processors) echo "$ROOT/fuzz/dicts/post_processors.dict" ;;
    *) echo "" ;;
  esac
}

# Installs clang, its libFuzzer/sanitizer runtime and nlohmann/json when missing (CI starts
# from a fresh machine).
ensure_tools() {
  local missing=()
  command -v "$CXX" >/dev/null 2>&1 || missing+=(clang)
  [ -e /usr/include/nlohmann/json.hpp ] || missing+=(nlohmann-json3-dev)
  [ -e /usr/include/pcre2.h ] || missing+=(libpcre2-dev)
  [ -e /usr/include/oniguruma.h ] || missing+=(libonig-dev)
  [ -e /usr/include/unicode/normalizer2.h ] || missing+=(libicu-dev)
  if command -v "$CXX" >/dev/null 2>&1; then
    echo 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }' |
      "$CXX" -x c++ -fsanitize=fuzzer,address,undefined -o /dev/null - >/dev/null 2>&1 ||
      missing+=(libclang-rt-14-dev)
  else
    missing+=(libclang-rt-14-dev)
  fi
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "fuzz.sh: installing ${missing[*]}" >&2
  local sudo=()
  [ "$(id -u)" -eq 0 ] || sudo=(sudo)
  "${sudo[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq clang libclang-rt-14-dev nlohmann-json3-dev libpcre2-dev libonig-dev libicu-dev
}

# Background jobs, one per CPU: throttle waits while all CPUs are busy, wait_all waits for
# the rest; either fails (and with set -e ends the script) when a job failed.
JOBS=$(nproc 2>/dev/null || echo 2)
throttle() {
  while [ "$(jobs -rp | wc -l)" -ge "$JOBS" ]; do wait -n; done
}
wait_all() {
  local pid
  for pid in $(jobs -p); do wait "$pid"; done
}

# Recompiles an object when it is older than its source or than any header it may include
# (the engine's headers for engine objects; those and the harness headers for targets).
newest_header=0
needs_build() {
  local src=$1 obj=$2
  [ -e "$obj" ] || return 0
  local t_obj t_src
  t_obj=$(stat -c %Y "$obj")
  t_src=$(stat -c %Y "$src")
  [ "$t_src" -gt "$t_obj" ] || [ "$newest_header" -gt "$t_obj" ]
}

build() {
  ensure_tools
  mkdir -p "$BUILD/obj" "$BUILD/generated"
  # The generated Unicode tables (the virtual environment has the generator's data).
  local gen="$BUILD/generated/unicode_tables.inc"
  if [ ! -e "$gen" ] || [ "$ROOT/tools/gen_unicode_tables.py" -nt "$gen" ]; then
    [ -x "$ROOT/.venv/bin/python" ] || bash "$ROOT/scripts/setup.sh"
    "$ROOT/.venv/bin/python" "$ROOT/tools/gen_unicode_tables.py" "$gen"
  fi
  newest_header=$(find "$ROOT/src" -name '*.h' -printf '%T@\n' | sort -n | tail -1 | cut -d. -f1)
  local objs=() src t o
  for src in $(find "$ROOT/src" -name '*.cc' ! -path "$ROOT/src/bindings/*" | sort); do
    local obj
    obj="$BUILD/obj/$(realpath --relative-to="$ROOT/src" "$src" | tr / _ | sed 's/\.cc$//').o"
    objs+=("$obj")
    if needs_build "$src" "$obj"; then
      echo "  CXX $(realpath --relative-to="$ROOT" "$src")"
      "$CXX" "${CXXFLAGS[@]}" "${SAN_FLAGS[@]}" -fsanitize=fuzzer-no-link -c "$src" -o "$obj" &
      throttle
    fi
  done
  wait_all
  newest_header=$(find "$ROOT/src" "$ROOT/fuzz" -name '*.h' -printf '%T@\n' | sort -n | tail -1 | cut -d. -f1)
  for t in "${TARGETS[@]}"; do
    local src="$ROOT/fuzz/fuzz_$t.cc" bin="$BUILD/fuzz_$t" newer=0
    for o in "${objs[@]}"; do [ "$o" -nt "$bin" ] && newer=1; done
    if [ "$newer" = 1 ] || needs_build "$src" "$bin"; then
      echo "  LINK fuzz_$t"
      "$CXX" "${CXXFLAGS[@]}" "${SAN_FLAGS[@]}" -fsanitize=fuzzer $(harness_cov_of "$t") "$src" "${objs[@]}" "${LIBS[@]}" -o "$bin" &
      throttle
    fi
  done
  wait_all
}

# Common libFuzzer arguments for a target.
fuzz_args() {
  local t=$1 dict
  dict=$(dict_of "$t")
  local args=(-max_len="$(max_len_of "$t")" -rss_limit_mb=2048 -timeout=10 -print_final_stats=1
              -artifact_prefix="$BUILD/artifacts/$t-")
  [ -n "$dict" ] && [ -e "$dict" ] && args+=(-dict="$dict")
  printf '%s\n' "${args[@]}"
}

# Seed directories of a target: the committed hand-made seeds, and slices of the shared
# data (never committed), written into the build directory when that data is there.
seeds_of() {
  local d
  for d in "$ROOT/fuzz/seeds/$1" "$BUILD/data-seeds/$1"; do
    [ -d "$d" ] && echo "$d"
  done
  return 0
}

data_seeds() {
  if [ -d "$ROOT/../shared/data" ] && command -v python3 >/dev/null 2>&1; then
    python3 "$ROOT/fuzz/make_seeds.py" --from-data "$BUILD/data-seeds" >/dev/null
  fi
}

# One target's smoke run; its exit status goes to smoke-<target>.status.
smoke_one() {
  local t=$1 seconds=$2 corpus args status=0
  corpus=$(mktemp -d "${TMPDIR:-/tmp}/corvane-fuzz-$t.XXXXXX")
  mapfile -t args < <(fuzz_args "$t")
  # The fresh directory receives new inputs; the seed directory is only read.
  "$BUILD/fuzz_$t" "${args[@]}" -max_total_time="$seconds" "$corpus" $(seeds_of "$t") \
    >"$BUILD/smoke-$t.log" 2>&1 || status=$?
  echo "$status" >"$BUILD/smoke-$t.status"
  rm -rf "$corpus"
}

# throttle, for jobs whose own status is collected elsewhere.
throttle_quietly() {
  while [ "$(jobs -rp | wc -l)" -ge "$JOBS" ]; do wait -n || true; done
}

smoke() {
  local seconds=${1:-30} failed=() t
  build
  data_seeds
  mkdir -p "$BUILD/artifacts"
  # The targets run side by side, one per CPU; each reports once all are done.
  rm -f "$BUILD"/smoke-*.status
  for t in "${TARGETS[@]}"; do
    smoke_one "$t" "$seconds" &
    throttle_quietly
  done
  wait
  for t in "${TARGETS[@]}"; do
    echo "== $t: ${seconds}s"
    if [ "$(cat "$BUILD/smoke-$t.status" 2>/dev/null)" = 0 ]; then
      grep -E '^stat::number_of_executed_units|^#[0-9]+.*DONE' "$BUILD/smoke-$t.log" | tail -2 || true
    else
      echo "   FAILED: see $BUILD/smoke-$t.log"
      tail -40 "$BUILD/smoke-$t.log"
      failed+=("$t")
    fi
  done
  if [ ${#failed[@]} -gt 0 ]; then
    echo "fuzz smoke: findings in: ${failed[*]}" >&2
    return 1
  fi
  echo "fuzz smoke: all ${#TARGETS[@]} targets clean"
}

run() {
  local t=${1:?usage: fuzz.sh run TARGET [libFuzzer args...]}
  shift
  [ -e "$ROOT/fuzz/fuzz_$t.cc" ] || { echo "unknown target $t (try: fuzz.sh list)" >&2; return 2; }
  build
  data_seeds
  mkdir -p "$BUILD/artifacts" "$CORPUS_ROOT/$t"
  local args
  mapfile -t args < <(fuzz_args "$t")
  exec "$BUILD/fuzz_$t" "${args[@]}" "$@" "$CORPUS_ROOT/$t" $(seeds_of "$t")
}

case ${1:-} in
  build) build ;;
  smoke) shift; smoke "$@" ;;
  run) shift; run "$@" ;;
  list) printf '%s\n' "${TARGETS[@]}" ;;
  *) sed -n '2,15p' "$0" | sed 's/^# \{0,1\}//' >&2; exit 2 ;;
esac
