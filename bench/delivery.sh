#!/usr/bin/env bash
# Chunked delivery against the reference tools, in one run: prints "row|..." lines in the format
# of scripts/bench (which calls this for its delivery section) and removes its data afterwards.
#
#   bench/delivery.sh WORK_FOLDER      (BUILD_DIR: a release build folder, default build-bench;
#                                       BENCH_RUNS: repetitions of the install rows, default 3;
#                                       CHUNK_KIB: the publisher's average chunk size, default 64;
#                                       SECTIONS: some of "many delta kill huge limit")
#
# Rows: installing 1 GiB in 200 files (against curl + sha256sum -c and against dd conv=fsync),
# updating a 2 GiB file after 16 scattered 64 KiB edits and a 1 MiB insertion (bytes against
# zsync and casync, wall time against a full install), peak memory installing one 4 GiB file,
# a kill -9 at half of a 2 GiB file (bytes fetched twice), the longest frame of the installs, and
# the rate a 200 MB install achieves under the player's download limit (20 MB/s).
# The update's bytes are, for us, every chunk and index file the backend served (the index
# and the pages of it the old file does not provide, and the missing chunks); for zsync, its
# control file plus the ranges it fetched from an nginx started here on 127.0.0.1 (the
# development backend answers no range requests), counted from nginx's access log; for casync,
# its index plus the chunks of the new version that the old one lacks.
# Needs about 20 GiB free under the work folder, and nginx, zsync and casync (scripts/setup).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
work=${1:?usage: bench/delivery.sh WORK_FOLDER}
build=${BUILD_DIR:-build-bench}
runs=${BENCH_RUNS:-3}
chunk_kib=${CHUNK_KIB:-64}
sections=" ${SECTIONS:-many delta kill huge limit} "   # some of them only, e.g. SECTIONS="kill huge"
has() { [[ $sections == *" $1 "* ]]; }
[ "$runs" -gt 3 ] && runs=3

if [ ! -x "$build/patcher_bench" ]; then
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DTARNWICK_TESTS=OFF >/dev/null
  cmake --build "$build" -j "$(nproc)" --target tarnwick tarnwick-server tarnwick-publish >/dev/null
  key=$(sed -n 's/^TARNWICK_TRUSTED_KEY:STRING=//p' "$build/CMakeCache.txt")
  g++ -std=c++20 -O2 -Isrc "-DTARNWICK_TRUSTED_KEY=\"$key\"" "-DTARNWICK_VERSION=\"0.1.3\"" bench/patcher_bench.cpp \
    "$build/libtarnwick.a" -lcrypto -lsimdjson -lcurl -lzstd -lSDL2 -pthread -o "$build/patcher_bench"
fi
bench=$root/$build/patcher_bench
export PATH=$PATH:/usr/sbin
for tool in zsync zsyncmake casync nginx curl sha256sum; do
  command -v $tool >/dev/null || { echo "delivery bench: $tool is missing (scripts/setup)" >&2; exit 1; }
done

mkdir -p "$work"
server=
nginx_pid=
cleanup() {
  [ -n "$server" ] && kill $server 2>/dev/null && wait $server 2>/dev/null || true
  [ -n "$nginx_pid" ] && kill $nginx_pid 2>/dev/null && wait $nginx_pid 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

free_port() {
  local p
  while :; do
    p=$((20000 + RANDOM % 40000))
    (exec 3<>/dev/tcp/127.0.0.1/$p) 2>/dev/null || { echo $p; return; }
  done
}
median() { sort -g | awk '{v[NR]=$1} END{if(NR==0){print 0}else if(NR%2){print v[(NR+1)/2]}else{print (v[NR/2]+v[NR/2+1])/2}}'; }
now_ms() { echo $(( $(date +%s%N) / 1000000 )); }
row() {  # WORK OURS REF UNIT REFERENCE LIMIT
  local ratio=-
  [ "$3" != "-" ] && ratio=$(awk -v a="$2" -v b="$3" 'BEGIN{printf "%.3g", a / b}')
  printf 'row|%s|%s|%s|%s|%s|%s|%s\n' "$1" "$2" "$3" "$4" "$ratio" "$5" "$6"
}
# Incompressible bytes, as in the compressed archives games ship.
noise() {  # BYTES SEED (openssl ends on the closed pipe, which is no failure here)
  (set +o pipefail; openssl enc -aes-128-ctr -nosalt -pass "pass:$2" -in /dev/zero 2>/dev/null | head -c "$1")
}
publish() {  # CHANNEL FOLDER VERSION
  "$build/tools/tarnwick-publish" publish --key keys/development/release-signing-key.pem --channel "$1" \
    --version "$3" --from "$2" --to "$work/server" --chunks "$chunk_kib" >/dev/null 2>&1
}
log_lines() { wc -l <"$work/server.log"; }
# Bytes of the chunk and index files the backend served after log line $1 (sums printed with
# %.0f: mawk's %d stops at 2^31 - 1, which a 2 GiB file passes).
served_bytes() {
  tail -n +"$(( $1 + 1 ))" "$work/server.log" | awk '$1 == "GET" && $2 ~ /^\/files\/(chunks|indexes)\// {print $2}' |
    while read -r p; do stat -c %s "$work/server$p"; done | awk '{s += $1} END{printf "%.0f\n", s}'
}
# One install through the real patcher, paced like the frame loop: "wall_ms cpu_ms idle_kib
# peak_kib" on standard output, the frames on $work/frames.
install() {  # CHANNEL DIR
  "$bench" install "$url" "$1" "$2" 2>"$work/frames"
}
frame_field() { sed -n "s/.*$1 frame \([0-9.]*\) ms.*/\1/p" "$work/frames"; }

echo "delivery: making the releases ..." >&2
if has many; then
  "$bench" gen "$work/rel-many" 200 $((1 << 30)) 3
  publish many "$work/rel-many" 1.0.0
fi
mkdir -p "$work/rel-delta" "$work/rel-huge"
noise $((2 << 30)) delta >"$work/rel-delta/world.pak"
cp "$work/rel-delta/world.pak" "$work/world-v1.pak"
has delta || cp "$work/world-v1.pak" "$work/world-v2.pak"
publish delta "$work/rel-delta" 1.0.0
if has huge; then
  noise $((4 << 30)) huge >"$work/rel-huge/huge.pak"
  publish huge "$work/rel-huge" 1.0.0
fi
rm -rf "$work/rel-huge"
if has limit; then
  mkdir -p "$work/rel-limit"
  noise 200000000 limit >"$work/rel-limit/limited.pak"
  publish limit "$work/rel-limit" 1.0.0
  rm -rf "$work/rel-limit"
fi

"$build/server/tarnwick-server" --data "$work/server" --listen 127.0.0.1:0 --seed --fast-hash \
  >"$work/server.out" 2>"$work/server.log" &
server=$!
url=
for _ in $(seq 200); do
  url=$(head -n 1 "$work/server.out" 2>/dev/null || true)
  [ -n "$url" ] && break
  sleep 0.05
done
[ -n "$url" ] || { echo "delivery bench: the development backend did not start" >&2; exit 1; }

# --- 1 GiB in 200 files ------------------------------------------------------------------------
if has many; then
echo "delivery: 1 GiB in 200 files ..." >&2
manifest=$(sed -n 's/.*"manifest":"\([^"]*\)".*/\1/p' "$work/server/files/releases/many.json" | base64 -d)
: >"$work/curl.cfg"; : >"$work/sums"
n=0
for d in $(printf '%s' "$manifest" | grep -o '"sha256":"[0-9a-f]*"' | cut -d'"' -f4); do
  printf 'url = "%s/files/blobs/%s"\noutput = "%s/ref/%d"\n' "$url" "$d" "$work" $n >>"$work/curl.cfg"
  printf '%s  %s/ref/%d\n' "$d" "$work" $n >>"$work/sums"
  n=$((n + 1))
done
: >"$work/ours"; : >"$work/ref-ms"; : >"$work/dd"; : >"$work/longest"; : >"$work/median"
for _ in $(seq "$runs"); do
  rm -rf "$work/inst"; sync
  read -r wall _ _ _ < <(install many "$work/inst")
  echo "$wall" >>"$work/ours"; frame_field longest >>"$work/longest"; frame_field median >>"$work/median"
  rm -rf "$work/inst" "$work/ref"; mkdir -p "$work/ref"; sync
  t0=$(now_ms)
  curl -sS --fail --config "$work/curl.cfg" && sha256sum -c --quiet "$work/sums"
  echo $(( $(now_ms) - t0 )) >>"$work/ref-ms"
  rm -rf "$work/ref"; sync
  t0=$(now_ms)
  dd if=/dev/zero of="$work/dd.out" bs=1M count=1024 conv=fsync status=none
  echo $(( $(now_ms) - t0 )) >>"$work/dd"
  rm -f "$work/dd.out"
done
ours=$(median <"$work/ours")
row "chunked install, 1 GiB in 200 files (wall)" "$ours" "$(median <"$work/ref-ms")" ms \
  "curl, one blob after another, + sha256sum -c" 0.4
row "  the same" "$ours" "$(median <"$work/dd")" ms "dd conv=fsync writing 1 GiB" 1.5
row "  longest frame during it" "$(median <"$work/longest")" - ms "(median frame $(median <"$work/median") ms)" 25
fi

# --- delta update of a 2 GiB file ----------------------------------------------------------------
if has delta; then
echo "delivery: update of a 2 GiB file ..." >&2
rm -rf "$work/inst"
install delta "$work/inst" >/dev/null
new=$work/rel-delta/world.pak
for i in $(seq 0 15); do   # 16 scattered 64 KiB edits
  noise 65536 "edit$i" | dd of="$new" bs=64K seek=$(( (i * 2039 + 97) % 32700 )) conv=notrunc status=none
done
{ head -c $((1234567891)) "$new"; noise $((1 << 20)) insert; tail -c +$((1234567891 + 1)) "$new"; } >"$new.tmp"
mv "$new.tmp" "$new"
cp "$new" "$work/world-v2.pak"
publish delta "$work/rel-delta" 2.0.0
rm -rf "$work/rel-delta"
size=$(stat -c %s "$work/world-v2.pak")
from=$(log_lines)
from_update=$from
t0=$(now_ms)
install delta "$work/inst" >/dev/null
update_ms=$(( $(now_ms) - t0 ))
cmp -s "$work/inst/world.pak" "$work/world-v2.pak" || echo "delivery bench: the update is wrong" >&2
ours_bytes=$(served_bytes "$from")
rm -rf "$work/inst"
t0=$(now_ms)
install delta "$work/inst" >/dev/null
full_ms=$(( $(now_ms) - t0 ))
rm -rf "$work/inst"

# zsync: the control file plus the ranges it fetched, served by nginx (which answers range
# requests; the development backend does not), counted from nginx's access log.
mkdir -p "$work/zsync/root" "$work/zsync/nginx"
cp "$work/world-v2.pak" "$work/zsync/root/world.pak"
zsync_port=$(free_port)
(cd "$work/zsync/root" && zsyncmake -u "http://127.0.0.1:$zsync_port/world.pak" -o ../world.zsync world.pak >/dev/null 2>&1)
{ [ "$(id -u)" -eq 0 ] && echo "user nobody nogroup;"
  cat <<EOF
worker_processes 1;
pid $work/zsync/nginx/nginx.pid;
error_log $work/zsync/nginx/error.log warn;
events { worker_connections 64; }
http {
  log_format sent '\$request_method \$uri \$status \$body_bytes_sent';
  access_log $work/zsync/nginx/access.log sent;
  client_body_temp_path $work/zsync/nginx/body;
  proxy_temp_path $work/zsync/nginx/proxy;
  fastcgi_temp_path $work/zsync/nginx/fastcgi;
  uwsgi_temp_path $work/zsync/nginx/uwsgi;
  scgi_temp_path $work/zsync/nginx/scgi;
  server { listen 127.0.0.1:$zsync_port; root $work/zsync/root; }
}
EOF
} >"$work/zsync/nginx.conf"
nginx -c "$work/zsync/nginx.conf" -g 'daemon off;' 2>>"$work/zsync/nginx/stderr" &
nginx_pid=$!
for _ in $(seq 200); do curl -fs -o /dev/null -r 0-0 "http://127.0.0.1:$zsync_port/world.pak" && break; sleep 0.05; done
start_line=$(wc -l <"$work/zsync/nginx/access.log")
(cd "$work/zsync" && zsync -q -i "$work/world-v1.pak" -o "$work/zsync/out.pak" "$work/zsync/world.zsync" >/dev/null 2>&1) ||
  echo "delivery bench: zsync failed" >&2
cmp -s "$work/zsync/out.pak" "$work/world-v2.pak" || echo "delivery bench: zsync's result is wrong" >&2
kill "$nginx_pid" 2>/dev/null; wait "$nginx_pid" 2>/dev/null || true
nginx_pid=
zsync_ranges=$(tail -n +"$(( start_line + 1 ))" "$work/zsync/nginx/access.log" |
  awk '$1 == "GET" && $2 == "/world.pak" {s += $4} END{printf "%.0f\n", s}')
zsync_bytes=$(( $(stat -c %s "$work/zsync/world.zsync") + zsync_ranges ))
rm -rf "$work/zsync"
# casync: its index plus the chunks of the new version that the old one lacks.
casync make --store="$work/ca1" "$work/ca1.caibx" "$work/world-v1.pak" >/dev/null 2>&1
casync make --store="$work/ca2" "$work/ca2.caibx" "$work/world-v2.pak" >/dev/null 2>&1
casync_bytes=$(( $(stat -c %s "$work/ca2.caibx") + $( (cd "$work/ca2" && find . -type f -name '*.cacnk' -printf '%P %s\n') |
  while read -r chunk bytes; do [ -e "$work/ca1/$chunk" ] || echo "$bytes"; done | awk '{s += $1} END{printf "%.0f\n", s}') ))
rm -rf "$work/ca1" "$work/ca2" "$work"/ca*.caibx "$work/world-v1.pak"
row "update of a 2 GiB file after 16 64 KiB edits and a 1 MiB insertion (bytes fetched)" "$ours_bytes" \
  "$zsync_bytes" bytes "zsync (control file + ranges from nginx)" 1.0
row "  the same" "$ours_bytes" "$casync_bytes" bytes "casync (index + missing chunks)" 1.0
row "  the same" "$ours_bytes" "$size" bytes "the file's size" 0.03
row "  the same (wall)" "$update_ms" "$full_ms" ms "a full chunked install of the file" 0.15
fi

# --- kill -9 at half of the 2 GiB file -----------------------------------------------------------
if has kill; then
echo "delivery: kill -9 at half of 2 GiB ..." >&2
rm -rf "$work/inst"
size=$(stat -c %s "$work/world-v2.pak")
from=$(log_lines)
"$bench" install "$url" delta "$work/inst" >/dev/null 2>&1 &
victim=$!
journal=$work/inst/world.pak.part.journal
index=$(sed -n 's/.*"manifest":"\([^"]*\)".*/\1/p' "$work/server/files/releases/delta.json" | base64 -d |
  grep -o '"chunk_index":"[0-9a-f]*"' | cut -d'"' -f4)
chunks=$(od -An -t u8 -j 28 -N 8 "$work/server/files/indexes/$index" | tr -d ' ')   # the index's chunk count
while kill -0 $victim 2>/dev/null; do
  [ -f "$journal" ] && [ $(( ($(stat -c %s "$journal") - 70) / 4 )) -ge $(( chunks / 2 )) ] && break
  sleep 0.01
done
kill -9 $victim 2>/dev/null || true
wait $victim 2>/dev/null || true
install delta "$work/inst" >/dev/null
cmp -s "$work/inst/world.pak" "$work/world-v2.pak" || echo "delivery bench: the resumed install is wrong" >&2
all_bytes=$(served_bytes "$from")
distinct_bytes=$(tail -n +"$(( from + 1 ))" "$work/server.log" |
  awk '$1 == "GET" && $2 ~ /^\/files\/(chunks|indexes)\// {print $2}' | sort -u |
  while read -r p; do stat -c %s "$work/server$p"; done | awk '{s += $1} END{printf "%.0f\n", s}')
twice=$(( all_bytes - distinct_bytes ))
row "kill -9 at half of a 2 GiB file, then start again (bytes fetched twice)" "$twice" "$size" bytes \
  "the file's size" 0.02
rm -rf "$work/inst" "$work/world-v2.pak"
fi

# --- under the download limit ---------------------------------------------------------------------
if has limit; then
echo "delivery: 200 MB under a 20 MB/s limit ..." >&2
: >"$work/rates"
for _ in $(seq "$runs"); do
  rm -rf "$work/inst"
  read -r wall _ _ _ < <("$bench" install "$url" limit "$work/inst" 20000000 2>/dev/null)
  awk -v w="$wall" 'BEGIN{printf "%.2f\n", 200000000 / 1e6 / (w / 1000)}' >>"$work/rates"
done
rm -rf "$work/inst"
# All eight transfers together; the rate counts the whole install (manifest, indexes, the last
# file's check), so it stays a little under the limit and never above it.
row "chunked install of 200 MB under a 20 MB/s download limit (rate)" "$(median <"$work/rates")" 20 MB/s \
  "the limit" 1.05
fi

# --- one 4 GiB file ------------------------------------------------------------------------------
if has huge; then
echo "delivery: one 4 GiB file ..." >&2
read -r _ _ idle peak < <(install huge "$work/inst")
row "peak memory above idle, installing one 4 GiB file (chunked)" "$(( (peak - idle) / 1024 ))" - MiB \
  "(idle $(( idle / 1024 )) MiB)" 64
row "longest frame during the 4 GiB install" "$(frame_field longest)" - ms "(median frame $(frame_field median) ms)" 25
rm -rf "$work/inst"
fi
