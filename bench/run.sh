#!/usr/bin/env bash
# Builds the benchmark (Release, in build-bench), runs it and writes the
# results: the JSON of Google Benchmark, the markdown table and the plot.
#
# Usage: bench/run.sh [--smoke] [--out DIR] [extra browse_benchmark flags...]
#   (default)  N = 100000, 1000000, 4000000; 5 interleaved repetitions, medians
#              reported; `browse query` on 1000000 items, 9 runs alternating
#              with the sqlite3 shell; results in bench/results/
#   --smoke    N = 1000, 20000; 1 repetition, short runs; `browse query` on
#              20000 items, 1 run; results in build-bench/smoke-results/
#              (bench/results/ stays untouched)
# BROWSE_BENCH_SIZES=... overrides the sizes of either mode,
# BROWSE_QUERY_SIZE=... the items of `browse query` (0 skips it),
# BROWSE_BENCH_REPETITIONS=... the repetitions, BROWSE_BENCH_ITEMS=generator
# builds the items with the generator instead of through the accessors.
# The benchmark runs once per size, so that each process holds one workload.
# Needs: cmake, g++, libbenchmark-dev, libsqlite3-dev, googletest, the
# browse host's packages (CLI11, simdjson, nlohmann-json), python3, the
# sqlite3 shell (installed here when missing);
# gnuplot-nox for the plot (without it the plot is skipped).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build-bench"
seed=20240607  # the benchmark's own workload seed

smoke=0
out=""
extra=()
while (($#)); do
  case "$1" in
    --smoke) smoke=1 ;;
    --out) out=$2; shift ;;
    *) extra+=("$1") ;;
  esac
  shift
done

if ((smoke)); then
  sizes=${BROWSE_BENCH_SIZES:-1000,20000}
  query_size=${BROWSE_QUERY_SIZE:-20000}
  repetitions=${BROWSE_BENCH_REPETITIONS:-1}
  query_runs=1
  out=${out:-$build/smoke-results}
  run_flags=(--benchmark_min_time=0.01)
else
  sizes=${BROWSE_BENCH_SIZES:-100000,1000000,4000000}
  query_size=${BROWSE_QUERY_SIZE:-1000000}
  repetitions=${BROWSE_BENCH_REPETITIONS:-5}
  query_runs=9
  out=${out:-$root/bench/results}
  run_flags=()
fi
run_flags+=(--benchmark_repetitions="$repetitions" --benchmark_enable_random_interleaving=true
  --benchmark_display_aggregates_only=true)
mkdir -p "$out"
parts=$(mktemp -d)
trap 'rm -rf "$parts"' EXIT

"$root/scripts/deps.sh" sqlite3
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DBROWSE_BUILD_BENCHMARKS=ON \
  -DBROWSE_BUILD_TESTS=ON >/dev/null
cmake --build "$build" -j"$(nproc)" --target browse_benchmark browse bench_test \
  failing_allocator_test
# The memory counter and the benchmark's own parts (fresh processes, peers,
# report) first.
"$build/testsupport/failing_allocator_test" --gtest_brief=1
"$build/bench/bench_test" --gtest_brief=1
python3 "$root/bench/report_test.py" 2>&1 | tail -1

start=$(date +%s.%N)
: >"$out/console.txt"
for size in ${sizes//,/ }; do
  "$build/browse_benchmark" --browse_sizes="$size" "${run_flags[@]}" \
    --benchmark_out="$parts/benchmarks-$size.json" --benchmark_out_format=json "${extra[@]}" |
    tee -a "$out/console.txt"
done

query=()
if ((query_size > 0)); then
  items="$build/query-items-$query_size.jsonl"
  [[ -s $items ]] || "$build/browse" generate --count "$query_size" --seed "$seed" >"$items"
  python3 "$root/bench/time_query.py" --browse "$build/browse" --items "$items" \
    --count "$query_size" --runs "$query_runs" --sqlite3 sqlite3 --out "$parts/query.json" |
    tee -a "$out/console.txt"
  query=("$parts/query.json")
fi
elapsed=$(python3 -c "import sys; print(float(sys.argv[2]) - float(sys.argv[1]))" "$start" \
  "$(date +%s.%N)")

plot=()
if command -v gnuplot >/dev/null; then plot=(--plot "$out/time_per_item.png"); fi
python3 "$root/bench/report.py" "$parts"/benchmarks-*.json "${query[@]}" \
  --merged "$out/benchmarks.json" --table "$out/table.md" --elapsed "$elapsed" "${plot[@]}"
echo "results in $out (run took ${elapsed%.*} s)"
