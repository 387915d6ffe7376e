#!/usr/bin/env bash
# Builds the benchmark (Release, in build-bench), runs it and writes the
# results: the JSON of Google Benchmark, the markdown table and the plot.
#
# Usage: bench/run.sh [--smoke] [--out DIR] [extra browse_benchmark flags...]
#   (default)  N = 100000, 1000000, 4000000; 3 repetitions, medians reported;
#              results in bench/results/
#   --smoke    N = 1000, 20000; 1 repetition, short runs; results in
#              build-bench/smoke-results/ (bench/results/ stays untouched)
# BROWSE_BENCH_SIZES=... overrides the sizes of either mode.
# Needs: cmake, g++, libbenchmark-dev, libsqlite3-dev, python3; gnuplot-nox for
# the plot (without it the plot is skipped).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build-bench"

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
  out=${out:-$build/smoke-results}
  run_flags=(--benchmark_repetitions=1 --benchmark_min_time=0.01)
else
  sizes=${BROWSE_BENCH_SIZES:-100000,1000000,4000000}
  out=${out:-$root/bench/results}
  run_flags=(--benchmark_repetitions=3 --benchmark_report_aggregates_only=true)
fi
mkdir -p "$out"

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DBROWSE_BUILD_BENCHMARKS=ON \
  -DBROWSE_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target browse_benchmark

start=$(date +%s.%N)
"$build/browse_benchmark" --browse_sizes="$sizes" "${run_flags[@]}" \
  --benchmark_out="$out/benchmarks.json" --benchmark_out_format=json "${extra[@]}" |
  tee "$out/console.txt"
elapsed=$(python3 -c "import sys; print(float(sys.argv[2]) - float(sys.argv[1]))" "$start" \
  "$(date +%s.%N)")

plot=()
if command -v gnuplot >/dev/null; then plot=(--plot "$out/time_per_item.png"); fi
python3 "$root/bench/report.py" "$out/benchmarks.json" --table "$out/table.md" \
  --elapsed "$elapsed" "${plot[@]}"
echo "results in $out (run took ${elapsed%.*} s)"
