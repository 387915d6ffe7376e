#!/usr/bin/env bash
# Builds the fuzzers with clang and runs each on its corpus.
#
# Usage: fuzz/run.sh [--smoke | --seconds N] [--workers N] [FUZZER...]
#   --smoke       a bounded number of runs of each fuzzer, from a fresh corpus
#                 seeded with fuzz/corpus/NAME, after checking that the sorter's
#                 seeds decode as fuzz/sorter_seeds.py means (what CI does)
#   --seconds N   run each fuzzer for N seconds (default 600), one after the
#                 other; what it learns is kept in BUILD_DIR/corpus/NAME
#   --workers N   fuzzing processes per fuzzer (default 1; libFuzzer's fork
#                 mode when more)
#   FUZZER        record_json_fuzzer, sorter_fuzzer, session_fuzzer, serve_fuzzer
#                 (default all)
# The build goes to $BUILD_DIR (default build-fuzz). A fuzzer that finds a
# fault stops, writes the input to BUILD_DIR/artifacts/ and fails the script.
set -euo pipefail
cd "$(dirname "$0")/.."

mode=seconds
seconds=600
workers=1
fuzzers=()
while (($#)); do
  case $1 in
    --smoke) mode=smoke ;;
    --seconds) seconds=$2; shift ;;
    --workers) workers=$2; shift ;;
    -h | --help) sed -n '2,14p' "$0"; exit 0 ;;
    *) fuzzers+=("$1") ;;
  esac
  shift
done
((${#fuzzers[@]})) || fuzzers=(record_json_fuzzer sorter_fuzzer session_fuzzer serve_fuzzer)

# Largest input of each fuzzer (each also refuses longer ones itself) and
# its dictionary.
declare -A max_len=([record_json_fuzzer]=8192 [sorter_fuzzer]=4096 [session_fuzzer]=16384
                    [serve_fuzzer]=16384)
declare -A dict=([record_json_fuzzer]=fuzz/record_json.dict [session_fuzzer]=fuzz/session.dict
                 [serve_fuzzer]=fuzz/serve.dict)
# The sorter's input is a list of operations, and long lists (many keys, many
# reads between sorts) are what it is for. libFuzzer raises its length limit
# only after 100 * log2(limit) runs without a new input, which kept that limit
# at the longest seed for a whole 10-minute run; 0 allows max_len at once.
declare -A len_control=([sorter_fuzzer]=0)
# Runs of each in --smoke, a few seconds each on a shared 2-core machine.
declare -A smoke_runs=([record_json_fuzzer]=40000 [sorter_fuzzer]=3000 [session_fuzzer]=15000
                       [serve_fuzzer]=5000)

scripts/deps.sh clang libclang-rt-14-dev
build_dir=${BUILD_DIR:-build-fuzz}
cmake -S . -B "$build_dir" -DCMAKE_CXX_COMPILER=clang++ -DBROWSE_BUILD_FUZZERS=ON \
  -DBROWSE_BUILD_TESTS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build_dir" -j2 --target "${fuzzers[@]}"
# The sorter's seeds mean what fuzz/sorter_seeds.py says they do.
if [[ $mode == smoke && " ${fuzzers[*]} " == *" sorter_fuzzer "* ]]; then
  ctest --test-dir "$build_dir" -R '^sorter_seeds$' --output-on-failure
fi

mkdir -p "$build_dir/artifacts"
work_root="$build_dir/corpus"
if [[ $mode == smoke ]]; then
  work_root=$(mktemp -d)
  trap 'rm -rf "$work_root"' EXIT
fi
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
for fuzzer in "${fuzzers[@]}"; do
  name=${fuzzer%_fuzzer}
  work="$work_root/$name"
  mkdir -p "$work"
  options=(-max_len="${max_len[$fuzzer]}" -timeout=10 -rss_limit_mb=2048
           -artifact_prefix="$build_dir/artifacts/$name-" -print_final_stats=1)
  [[ -n ${dict[$fuzzer]:-} ]] && options+=(-dict="${dict[$fuzzer]}")
  [[ -n ${len_control[$fuzzer]:-} ]] && options+=(-len_control="${len_control[$fuzzer]}")
  if [[ $mode == smoke ]]; then
    options+=(-runs="${smoke_runs[$fuzzer]}" -max_total_time=30)
  else
    options+=(-max_total_time="$seconds")
    ((workers > 1)) && options+=(-fork="$workers")
  fi
  echo "== $fuzzer" >&2
  # New inputs go to the first folder; the seeds in the repository stay as they are.
  "$build_dir/fuzz/$fuzzer" "${options[@]}" "$work" "fuzz/corpus/$name"
done
