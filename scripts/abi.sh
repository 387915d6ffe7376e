#!/usr/bin/env bash
# The ABI of the project's shared libraries against the dumps kept in abi/.
#
# Usage: scripts/abi.sh check BUILD_DIR [DUMP_DIR]
#          compares each library built in BUILD_DIR with DUMP_DIR/lib<name>.abi
#          (default abi/); fails on a change that breaks hosts built against
#          the dump, reports compatible changes (added functions) and passes
#        scripts/abi.sh dump BUILD_DIR [DUMP_DIR]
#          writes the dumps from BUILD_DIR: run at a release, from a build
#          with debug information (RelWithDebInfo, the default)
# ABI_LIBRARIES="A B ..." names other libraries (lib<name>.so in BUILD_DIR).
# Needs abidw and abidiff (Debian: abigail-tools).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
usage() { sed -n '2,12p' "$0" >&2; exit 2; }
(($# >= 2)) || usage
mode=$1
build_dir=$2
dumps=${3:-$root/abi}
read -r -a libraries <<<"${ABI_LIBRARIES:-TzUtils IdxUtils RwXMLMessagesBase RwXMLMessagesJson BrowseResponseHandler}"
"$root/scripts/deps.sh" abigail-tools

library_file() {
  local found
  found=$(find "$build_dir" -name "lib$1.so" -not -path '*/CMakeFiles/*' | head -n 1)
  [[ -n $found ]] || { echo "abi: no lib$1.so in $build_dir" >&2; exit 2; }
  echo "$found"
}

case $mode in
  dump)
    mkdir -p "$dumps"
    for library in "${libraries[@]}"; do
      abidw --no-corpus-path --no-show-locs --type-id-style hash \
        --out-file "$dumps/lib$library.abi" "$(library_file "$library")"
      echo "abi: wrote $dumps/lib$library.abi"
    done
    ;;
  check)
    failed=0
    for library in "${libraries[@]}"; do
      dump=$dumps/lib$library.abi
      [[ -f $dump ]] || { echo "abi: no dump $dump (scripts/abi.sh dump)" >&2; exit 2; }
      status=0
      report=$(abidiff --no-show-locs --suppressions "$root/abi/private-types.suppr" "$dump" \
        "$(library_file "$library")") || status=$?
      # abidiff's status is a bit set: 1 error, 2 usage, 4 a change, 8 an
      # incompatible change. It sets 8 only for removed symbols, so a change
      # of a type that a function uses (a class's layout) counts here too:
      # only added functions and variables are compatible.
      if ((status & 3)); then
        echo "abi: abidiff failed on lib$library:" >&2
        echo "$report" >&2
        exit 2
      elif ((status & 8)) || grep -Eq '(^|[^0-9])[1-9][0-9]* (Removed|Changed)' <<<"$report"; then
        echo "abi: lib$library: incompatible with $dump:"
        echo "$report"
        failed=1
      elif ((status & 4)); then
        echo "abi: lib$library: compatible changes:"
        echo "$report"
      else
        echo "abi: lib$library: unchanged"
      fi
    done
    if ((failed)); then
      echo "abi: an incompatible change needs a new major version and new dumps" >&2
      exit 1
    fi
    ;;
  *) usage ;;
esac
