#!/usr/bin/env bash
# Records where one benchmark spends its time, with perf.
#
# Usage: bench/profile.sh FILTER [OUT_PREFIX]
#   FILTER      a --benchmark_filter regex, e.g. 'resort/ours/name_number/asc/N:1000000/'
#               (names end in /real_time or /manual_time, so end the regex with '/'
#               rather than '$'; perf follows the children of fresh-process benchmarks)
#   OUT_PREFIX  where perf.data and the report go (default: build-bench/profile)
# The workload sizes are those in the filter's N: (BROWSE_BENCH_SIZES also works).
# Writes OUT_PREFIX.data, OUT_PREFIX.flat.txt (self time by function) and
# OUT_PREFIX.callers.txt (call graph).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build-bench"
filter=$1
prefix=${2:-$build/profile}
sizes=${BROWSE_BENCH_SIZES:-$(grep -o 'N:[0-9]*' <<<"$filter" | head -1 | cut -c3-)}
sizes=${sizes:-1000000}

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DBROWSE_BUILD_BENCHMARKS=ON \
  -DBROWSE_BUILD_TESTS=ON >/dev/null
cmake --build "$build" -j"$(nproc)" --target browse_benchmark >/dev/null

if ! "$build/browse_benchmark" --browse_sizes="$sizes" --benchmark_filter="$filter" \
  --benchmark_list_tests | grep -q .; then
  echo "profile.sh: no benchmark matches '$filter'" >&2
  exit 1
fi
perf record -g --call-graph dwarf,16384 -F 499 -o "$prefix.data" -- \
  "$build/browse_benchmark" --browse_sizes="$sizes" --benchmark_filter="$filter" \
  --benchmark_min_time=3
perf report -i "$prefix.data" --no-children --sort dso,symbol --stdio 2>/dev/null |
  grep -E '^ +[0-9.]+%' | head -40 >"$prefix.flat.txt"
perf report -i "$prefix.data" --children --sort symbol --stdio -G 2>/dev/null |
  head -300 >"$prefix.callers.txt"
echo "profile in $prefix.flat.txt and $prefix.callers.txt"
