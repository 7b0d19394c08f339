#!/usr/bin/env bash
# The sign-in rows of scripts/bench (--only signin): tarnwick-server on SQLite at the real
# Argon2id cost, a guess flood from 250 loopback addresses with 40 requests in flight
# (bench/sign_in_flood.cpp), and beside it the player's known device signing in 28 times and five
# launchers at new addresses that solve the challenge they get. Loopback only, bounded in time.
#   bench/sign_in_flood.sh BUILD_DIR SCRATCH_DIR     prints row|... lines on stdout
set -euo pipefail
cd "$(dirname "$0")/.."
build=$1 tmp=$2
mkdir -p "$tmp"
pid=
cleanup() { [ -n "$pid" ] && { kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; }; }
trap cleanup EXIT

row() {  # WORK OURS REF UNIT REFERENCE LIMIT
  if [ -z "$2" ]; then printf 'missing|%s|no figure\n' "$1"; return 0; fi
  printf 'row|%s|%s|%s|%s|-|%s|%s\n' "$1" "$2" "$3" "$4" "$5" "$6"
}

g++ -std=c++20 -O2 -Wall -Wextra -Isrc bench/sign_in_flood.cpp src/backend/proof_of_work.cpp -lcrypto -pthread \
  -o "$tmp/sign_in_flood"
"$build/server/tarnwick-server" --data "$tmp/data" --seed --listen 127.0.0.1:0 >"$tmp/server.out" 2>/dev/null &
pid=$!
url=
for _ in $(seq 200); do url=$(head -n 1 "$tmp/server.out" 2>/dev/null || true); [ -n "$url" ] && break; sleep 0.05; done
[ -n "$url" ] || { echo "signin: the server did not start" >&2; exit 1; }

echo "signin: a guess flood from 250 addresses, real Argon2id ..." >&2
out=$("$tmp/sign_in_flood" "${url##*:}" demo@tarnwick.test tarnwick-demo 40 5)
echo "signin: $out (load average $(cut -d' ' -f1-3 /proc/loadavg))" >&2
get() { awk -v k="$1" '{ for (i = 1; i < NF; i += 2) if ($i == k) print $(i + 1) }' <<<"$out"; }
row "sign-ins from a known device during a flood from 250 addresses (of 28)" "$(get known_ok)" - "count" - ">=28"
row "  their p99 latency (p50 $(get known_p50_ms) ms; flood: $(get flood_sent) sent, $(get flood_hashed) hashed, $(get flood_busy) busy)" \
  "$(get known_p99_ms)" - "ms" - 2000
# A launcher that did not get in has no time to show.
new_max=$(get new_max_ms)
[ "$(get new_ok)" = 5 ] || new_max=
row "right password from a new address, email under attack: slowest of 5 (a challenge solved)" \
  "$new_max" - "ms" - 5000
