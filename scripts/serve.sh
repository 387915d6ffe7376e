#!/usr/bin/env bash
# Builds `browse` and serves the examples together with a generated data set
# of 1 000 000 items (examples/generated/million.jsonl, made on the first run,
# git-ignored). Ask it for a page with, for instance:
#   curl -s -X POST --data-binary @examples/request.json http://127.0.0.1:8080/v1/browse
# Usage: scripts/serve.sh [extra browse serve options, e.g. --listen 127.0.0.1:9000]
set -euo pipefail
cd "$(dirname "$0")/.."
"scripts/deps.sh"
cmake -S . -B build >/dev/null
cmake --build build -j"$(nproc)" --target browse
generated=examples/generated/million.jsonl
if [[ ! -s $generated ]]; then
  mkdir -p "$(dirname "$generated")"
  build/browse generate --count 1000000 --seed 7 > "$generated.part"
  mv "$generated.part" "$generated"
fi
echo "data sets: /projects/alpha/documents (the example request's), /generated/million" >&2
exec build/browse serve --data examples "$@"
