#!/usr/bin/env bash
# Builds `browse` and runs the example browse: the responses of the queries in
# examples/request.json over the items in examples/items.jsonl.
set -euo pipefail
cd "$(dirname "$0")/.."
"scripts/deps.sh"
cmake -S . -B build >/dev/null
cmake --build build -j"$(nproc)" --target browse
build/browse query --items examples/items.jsonl --request examples/request.json
