#!/usr/bin/env bash
# Writes deploy/nginx.conf with its placeholders filled, on standard output.
# Usage: deploy/render.sh LISTEN SERVER...
#   LISTEN  where nginx listens: "127.0.0.1:8000", "8000", "[::1]:8000"
#   SERVER  the address of one `browse serve` process: "127.0.0.1:8081";
#           the template's line holding @SERVER@ is written once per SERVER
# Comment lines are copied as they are.
set -euo pipefail

if (($# < 2)); then
  echo "usage: $0 LISTEN SERVER..." >&2
  exit 2
fi
# Addresses only: nothing that could end a directive or start another.
for address in "$@"; do
  if [[ ! $address =~ ^[][A-Za-z0-9.:_-]+$ ]]; then
    echo "$0: not an address: '$address'" >&2
    exit 2
  fi
done

listen=$1
shift
awk -v listen="$listen" -v servers="$*" '
  /^[ \t]*#/ { print; next }
  /@SERVER@/ {
    count = split(servers, list, " ")
    for (i = 1; i <= count; i++) {
      line = $0
      gsub(/@SERVER@/, list[i], line)
      print line
    }
    next
  }
  { gsub(/@LISTEN@/, listen); print }
  /@[A-Z_]+@/ { left = 1 }
  END { if (left) { print "render.sh: a placeholder is left unfilled" > "/dev/stderr"; exit 1 } }
' "$(dirname "$0")/nginx.conf"
