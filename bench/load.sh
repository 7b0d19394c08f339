#!/usr/bin/env bash
# The load rows of scripts/bench (--only load): wrk against the development backend alone, the
# same files from nginx, the map list on SQLite, the map list and refresh on PostgreSQL behind
# haproxy (two instances, the try-out stack), a normal client beside 1,500 slow connections, a
# mixed run against the whole stack, and sign-in with real Argon2id. Loopback only; every run is bounded in time.
#   bench/load.sh BUILD_DIR SCRATCH_DIR     prints row|... lines on stdout
#   LOAD_SECONDS (default 10) per figure; LOAD_MIXED_SECONDS (default 60) for the mixed run
set -euo pipefail
cd "$(dirname "$0")/.."
build=$1 tmp=$2
seconds=${LOAD_SECONDS:-10}
mixed_seconds=${LOAD_MIXED_SECONDS:-60}
lua=$(pwd)/bench/load
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
}
trap cleanup EXIT

row() {  # WORK OURS REF UNIT REFERENCE LIMIT: a figure wrk did not give is "missing", never a ratio
  if [ -z "$2" ] || [ -z "$3" ]; then printf 'missing|%s|wrk gave no figure\n' "$1"; return 0; fi
  local ratio=-
  [ "$3" != "-" ] && ratio=$(awk -v a="$2" -v b="$3" 'BEGIN{printf "%.3g", a / b}')
  printf 'row|%s|%s|%s|%s|%s|%s|%s\n' "$1" "$2" "$3" "$4" "$ratio" "$5" "$6"
}
# wrk CONNECTIONS SECONDS URL [wrk args]: writes the report to $tmp/wrk.out
run_wrk() {
  local c=$1 s=$2 url=$3
  shift 3
  local threads=$(( c < 2 ? 1 : 2 ))
  THREADS=$threads wrk -t$threads -c"$c" -d"${s}s" --timeout 10s --latency "$@" "$url" >"$tmp/wrk.out" 2>&1
}
rps() { awk '/^Requests\/sec/{printf "%.0f", $2}' "$tmp/wrk.out"; }
p99() {  # in ms
  awk '$1 == "99%" { v = $2; u = v; sub(/[0-9.]+/, "", u); sub(/[a-z]+$/, "", v);
         f = (u == "us") ? 0.001 : (u == "s") ? 1000 : (u == "m") ? 60000 : 1; printf "%.1f", v * f }' "$tmp/wrk.out"
}
errors() {  # answers that were not 2xx/3xx, and socket errors
  awk '/Non-2xx/{n += $NF} /Socket errors/{gsub(/,/, ""); n += $4 + $6 + $8 + $10} END{print n + 0}' "$tmp/wrk.out"
}
start_server() {  # OUT_FILE ARGS...: starts tarnwick-server, sets $started to its URL
  local out=$1
  shift
  "$build/server/tarnwick-server" "$@" --listen 127.0.0.1:0 >"$out" 2>/dev/null &
  pids+=($!)
  started=
  for _ in $(seq 200); do started=$(head -n 1 "$out" 2>/dev/null || true); [ -n "$started" ] && break; sleep 0.05; done
  [ -n "$started" ] || { echo "load: the server did not start" >&2; exit 1; }
}
sign_ins() {  # FRONT COUNT FILE: COUNT sign-ins of the demo account, their refresh tokens
  : >"$3"
  local token
  for _ in $(seq "$2"); do
    token=$(curl -sS -X POST -H 'Content-Type: application/json' \
      -d '{"email":"demo@tarnwick.test","password":"tarnwick-demo"}' "$1/v1/auth/login" |
      sed -n 's/.*"refresh_token":"\([^"]*\)".*/\1/p')
    [ -n "$token" ] && echo "$token" >>"$3"
  done
  [ "$(wc -l <"$3")" -eq "$2" ] || { echo "load: not every sign-in succeeded" >&2; exit 1; }
}

echo "load: starting the stack ..." >&2
deploy/try-out --build "$build" --state "$tmp/stack" --fast-hash 2>"$tmp/stack.log" &
pids+=($!)
for _ in $(seq 600); do [ -f "$tmp/stack" ] && break; sleep 0.1; done
[ -f "$tmp/stack" ] || { cat "$tmp/stack.log" >&2; echo "load: the stack did not start" >&2; exit 1; }
# shellcheck disable=SC1091
. "$tmp/stack"

echo "load: static files, the backend alone against nginx ..." >&2
for path in /news.json /files/releases/stable.json; do
  run_wrk 64 "$seconds" "$instance1$path"
  ours=$(rps)
  run_wrk 64 "$seconds" "$nginx$path"
  row "GET $path, tarnwick-server alone, 64 connections" "$ours" "$(rps)" "req/s" \
    "nginx serving the same file" ">=0.5"
done
run_wrk 1 "$seconds" "$instance1/news.json"
row "  GET /news.json, 1 connection (p99 $(p99) ms)" "$(rps)" - "req/s" "-" -

echo "load: map list on SQLite ..." >&2
start_server "$tmp/sqlite.out" --data "$tmp/sqlite" --seed --fast-hash
run_wrk 64 "$seconds" "$started/v1/maps?sort=popular&limit=60&q="
row "map list, SQLite, 64 connections" "$(rps)" - "req/s" "-" ">=5000"
row "  its p99 latency (load average $(cut -d' ' -f1 /proc/loadavg))" "$(p99)" - "ms" "-" 50

echo "load: a normal client beside 1,500 slow connections ..." >&2
g++ -std=c++20 -O2 -Wall -Wextra bench/slow_clients.cpp -pthread -o "$tmp/slow_clients"
# 1,500 connections from 25 loopback addresses (60 each, under the per-address cap) dripping
# one header byte a second, reopened as the server closes them; a request every 100 ms beside.
slow=$("$tmp/slow_clients" "${started##*:}" "/v1/maps?sort=popular&limit=60&q=" 1500 60 "$seconds")
row "map list beside 1,500 slow connections, slowest of $(awk '{print $2 + $4}' <<<"$slow") answers" \
  "$(awk '{print ($4 > 0) ? 100000 : $8}' <<<"$slow")" - "ms" \
  "$(awk '{print $4 " failed, " $10 " slow connections held"}' <<<"$slow")" 1000

# 1,100 connections from 9 addresses, each announcing a 1 MiB sign-in body and sending a byte
# every 4 s (cut with 408 once under the minimum body rate, then opened again).
slow=$("$tmp/slow_clients" "${started##*:}" "/v1/maps?sort=popular&limit=60&q=,/news.json" 1100 123 "$seconds" body)
row "normal client beside 1,100 slow-body connections from 9 addresses, slowest of $(awk '{print $2 + $4}' <<<"$slow") answers" \
  "$(awk '{print ($4 > 0) ? 100000 : $8}' <<<"$slow")" - "ms" \
  "$(awk '{print $4 " failed, " $10 " slow connections held"}' <<<"$slow")" 1000
row "  its p99" "$(awk '{print $12}' <<<"$slow")" - "ms" "-" 100

server_pid=${pids[-1]}
kib() { sed -n "s/^$2:[[:space:]]*\([0-9]*\).*/\1/p" "/proc/$1/status"; }
echo "load: 10,000 idle kept-alive connections ..." >&2
g++ -std=c++20 -O2 -Wall -Wextra bench/idle_connections.cpp -o "$tmp/idle_connections"
idle=$("$tmp/idle_connections" "${started##*:}" "$server_pid" /account.html 10000 100)
row "memory of 10,000 idle kept-alive connections ($(awk '{print $2}' <<<"$idle") held)" \
  "$(awk '{printf "%.1f", $10}' <<<"$idle")" - "KiB each" "-" 16

echo "load: 16 connections posting 16 MiB to the sign-in ..." >&2
head -c $((16 << 20)) /dev/zero | tr '\0' '{' >"$tmp/16mib"
echo 5 >"/proc/$server_pid/clear_refs"
before=$(kib "$server_pid" VmRSS)
posts=()
for _ in $(seq 16); do
  curl -s -o /dev/null -w '%{http_code}\n' -H 'Content-Type: application/json' --data-binary @"$tmp/16mib" \
    "$started/v1/auth/login" >>"$tmp/16mib.status" &
  posts+=($!)
done
for p in "${posts[@]}"; do wait "$p" || true; done
row "16 x 16 MiB posts to the sign-in ($(grep -c 413 "$tmp/16mib.status") of 16 answered 413): peak above idle" \
  "$(( ($(kib "$server_pid" VmHWM) - before) / 1024 ))" - "MiB" "-" 64

echo "load: a body without a length ..." >&2
echo 5 >"/proc/$server_pid/clear_refs"
before=$(kib "$server_pid" VmRSS)
start_ns=$(date +%s%N)
# 1 GiB after a head that announces no body: the server answers and closes, the write then fails.
{ printf 'PRI /v1/auth/login HTTP/1.1\r\nHost: x\r\n\r\n'; head -c $((1 << 30)) /dev/zero; } 2>/dev/null \
  >"/dev/tcp/127.0.0.1/${started##*:}" || true
row "a body without a length (1 GiB after the head): refused after, memory above idle $(( ($(kib "$server_pid" VmHWM) - before) / 1024 )) MiB" \
  "$(( ($(date +%s%N) - start_ns) / 1000000 ))" - "ms" "-" 1000

echo "load: 3,000 slow connections under ulimit -n 2048 ..." >&2
( ulimit -n 2048; exec "$build/server/tarnwick-server" --data "$tmp/sqlite" --fast-hash --listen 127.0.0.1:0 ) \
  >"$tmp/tight.out" 2>/dev/null &
pids+=($!)
for _ in $(seq 200); do tight=$(head -n 1 "$tmp/tight.out" 2>/dev/null || true); [ -n "$tight" ] && break; sleep 0.05; done
map_file=$(ls "$tmp/sqlite/files/maps" | grep '\.tnw$' | head -n 1)
slow=$("$tmp/slow_clients" "${tight##*:}" "/news.json,/files/maps/$map_file" 3000 60 "$seconds")
row "3,000 slow connections under ulimit -n 2048: existing files answered 404 ($(awk '{print $2 " answered, " $4 " failed, max " $8 " ms"}' <<<"$slow"))" \
  "$(awk '{print $14}' <<<"$slow")" - "count" "-" 0

echo "load: PostgreSQL, two instances behind haproxy ..." >&2
run_wrk 64 "$seconds" "$haproxy/v1/maps?sort=popular&limit=60&q="
row "map list, PostgreSQL, 2 instances behind haproxy, 64 connections" "$(rps)" - "req/s" "-" ">=2000"
row "  its p99 latency (load average $(cut -d' ' -f1 /proc/loadavg))" "$(p99)" - "ms" "-" 50
sign_ins "$haproxy" 256 "$tmp/tokens"
TOKENS=$tmp/tokens run_wrk 64 "$seconds" "$haproxy" -s "$lua/refresh.lua"
# Only refreshes count (a thread whose tokens ran out would ask for the map list instead).
refreshes=$(sed -n 's/^rotated //p' "$tmp/wrk.out")
row "refresh, PostgreSQL, 2 instances behind haproxy, 64 connections" \
  "$(awk -v n="${refreshes:-0}" -v s="$seconds" 'BEGIN{printf "%.0f", n / s}')" - "req/s" "-" ">=2000"
row "  its p99 latency" "$(p99)" - "ms" "-" 50

echo "load: mixed, 256 connections for ${mixed_seconds} s through nginx ..." >&2
sign_ins "$nginx" 512 "$tmp/tokens"
map_id=$(curl -fsS "$nginx/v1/maps?limit=1" | grep -o '"id":[0-9]*' | head -n 1 | cut -d: -f2)
count() { psql "$database" -Atc "$1"; }
before=$(count "SELECT COUNT(*) FROM refresh_tokens WHERE used > 0")
TOKENS=$tmp/tokens LUA_DIR=$lua MAP_ID=$map_id run_wrk 256 "$mixed_seconds" "$nginx" -s "$lua/mixed.lua"
mixed_rps=$(rps) mixed_p99=$(p99) mixed_errors=$(errors)
answered=$(sed -n 's/^rotated //p' "$tmp/wrk.out")
rotations=$(( $(count "SELECT COUNT(*) FROM refresh_tokens WHERE used > 0") - before ))
# Every sign-in must end with exactly one live refresh token, none revoked, none dropped.
broken=$(count "SELECT COUNT(*) FROM sign_ins s WHERE s.revoked = 1 OR (SELECT COUNT(*) FROM refresh_tokens r
  WHERE r.sign_in_id = s.id AND r.used = 0 AND r.dropped = 0) <> 1")
dropped=$(count "SELECT COUNT(*) FROM refresh_tokens WHERE dropped > 0")
row "mixed launch-day traffic, 256 connections, ${mixed_seconds} s (p99 ${mixed_p99} ms)" "$mixed_rps" - "req/s" "-" -
row "  error answers and socket errors" "$mixed_errors" - "count" "-" 0
# Refreshes still in flight when wrk stops are made but never read: at most one a connection.
# More answered than made would mean one rotation answered twice (shown as 1000000).
unread=$(( rotations - ${answered:-0} ))
[ $unread -lt 0 ] && unread=1000000
row "  rotations made ($rotations) less rotations answered (${answered:-?}): unread at the stop" \
  "$unread" - "count" "-" 256
row "  sign-ins not left with exactly one live token, revoked or dropped" "$(( broken + dropped ))" - "count" "-" 0

echo "load: sign-in with real Argon2id ..." >&2
start_server "$tmp/argon.out" --data "$tmp/argon" --seed
argon=$started
printf 'wrk.method = "POST"\nwrk.headers["Content-Type"] = "application/json"\nwrk.body = %s\n' \
  "'{\"email\":\"demo@tarnwick.test\",\"password\":\"tarnwick-demo\"}'" >"$tmp/login.lua"
run_wrk 2 "$seconds" "$argon/v1/auth/login" -s "$tmp/login.lua"
row "sign-in (Argon2id 64 MiB), 2 connections" "$(rps)" - "req/s" "-" -
run_wrk 1 "$seconds" "$argon/v1/auth/login" -s "$tmp/login.lua"
row "  one sign-in alone: the cost of one hash and its request" \
  "$(awk '/^Requests\/sec/{printf "%.1f", 1000 / $2}' "$tmp/wrk.out")" - "ms" "-" -
