#!/usr/bin/env bash
# Chunked delivery against the reference tools, in one run: prints "row|..." lines in the format
# of scripts/bench (which calls this for its delivery section) and removes its data afterwards.
#
#   bench/delivery.sh WORK_FOLDER      (BUILD_DIR: a release build folder, default build-bench;
#                                       BENCH_RUNS: repetitions of the install rows, default 3;
#                                       CHUNK_KIB: the publisher's average chunk size, default 64;
#                                       SECTIONS: some of "many delta kill huge inplace limit";
#                                       INPLACE_MIB: the in-place file's size, default 2048)
#
# Rows: installing 1 GiB in 200 files (against curl + sha256sum -c and against dd conv=fsync),
# updating a 2 GiB file after 16 scattered 64 KiB edits and a 1 MiB insertion (bytes against
# zsync and casync, wall time against a full install), peak memory installing one 4 GiB file,
# a kill -9 at half of a 2 GiB file (bytes fetched twice), and the longest frame of the installs;
# updates of an installed 2 GiB file (kept cut, in place): wall time after 16 same-size edits and
# after 16 edits and a 1 MiB insertion against a full install, the bytes written against the
# changed chunks, the old file's bytes read to plan, the connections the update opened, its
# longest frame and its wall time over a 100 Mbit/s link (tc, root only);
# and the rate a 200 MB install achieves under the player's download limit (20 MB/s).
# The update's bytes are, for us, every chunk and index file the backend served (the index
# and the pages of it the old file does not provide, and the missing chunks); for zsync, its
# control file plus the ranges it fetched from an nginx started here on 127.0.0.1 (the
# development backend answers no range requests), counted from nginx's access log; for casync,
# its index plus the chunks of the new version that the old one lacks.
# A figure that could not be had, ours or a reference's (a tool that failed or gave a wrong
# file), is printed as "missing|WORK|why" instead of a row, and the script then exits 1.
# Needs about 20 GiB free under the work folder, and nginx, zsync and casync (scripts/setup).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
. bench/limit_port.sh
work=${1:?usage: bench/delivery.sh WORK_FOLDER}
build=${BUILD_DIR:-build-bench}
runs=${BENCH_RUNS:-3}
chunk_kib=${CHUNK_KIB:-64}
sections=" ${SECTIONS:-many delta kill huge inplace limit} "   # some of them only, e.g. SECTIONS="kill huge"
has() { [[ $sections == *" $1 "* ]]; }
[ "$runs" -gt 3 ] && runs=3

if [ ! -x "$build/patcher_bench" ]; then
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DTARNWICK_TESTS=OFF >/dev/null
  cmake --build "$build" -j "$(nproc)" --target tarnwick tarnwick-server tarnwick-publish >/dev/null
  key=$(sed -n 's/^TARNWICK_TRUSTED_KEY:STRING=//p' "$build/CMakeCache.txt")
  g++ -std=c++20 -O2 -Isrc "-DTARNWICK_TRUSTED_KEY=\"$key\"" "-DTARNWICK_VERSION=\"0.1.3\"" bench/patcher_bench.cpp \
    "$build/libtarnwick.a" -lcrypto -lsimdjson -lcurl -lzstd -lSDL2 -lX11 -pthread -o "$build/patcher_bench"
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
trap 'status=$?; cleanup; exit $(( status != 0 ? status : incomplete ))' EXIT

free_port() {
  local p
  while :; do
    p=$((20000 + RANDOM % 40000))
    (exec 3<>/dev/tcp/127.0.0.1/$p) 2>/dev/null || { echo $p; return; }
  done
}
median() { sort -g | awk '{v[NR]=$1} END{if(NR==0){print 0}else if(NR%2){print v[(NR+1)/2]}else{print (v[NR/2]+v[NR/2+1])/2}}'; }
now_ms() { echo $(( $(date +%s%N) / 1000000 )); }
incomplete=0
row() {  # WORK OURS REF UNIT REFERENCE LIMIT [WHY: what failed, when OURS or REF is ""]
  if [ -z "$2" ] || [ -z "$3" ]; then
    printf 'missing|%s|%s\n' "$1" "${7:-not measured}"
    incomplete=1
    return 0
  fi
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
if has delta || has kill; then
  noise $((2 << 30)) delta >"$work/rel-delta/world.pak"
  cp "$work/rel-delta/world.pak" "$work/world-v1.pak"
  has delta || cp "$work/world-v1.pak" "$work/world-v2.pak"
  publish delta "$work/rel-delta" 1.0.0
fi
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
ours_failed= ref_failed= dd_failed=
for _ in $(seq "$runs"); do
  rm -rf "$work/inst"; sync
  if out=$(install many "$work/inst"); then
    read -r wall _ _ _ <<<"$out"
    echo "$wall" >>"$work/ours"; frame_field longest >>"$work/longest"; frame_field median >>"$work/median"
  else
    ours_failed="our install failed"
  fi
  rm -rf "$work/inst" "$work/ref"; mkdir -p "$work/ref"; sync
  t0=$(now_ms)
  if curl -sS --fail --config "$work/curl.cfg" && sha256sum -c --quiet "$work/sums"; then
    echo $(( $(now_ms) - t0 )) >>"$work/ref-ms"
  else
    ref_failed="curl or sha256sum -c failed"
  fi
  rm -rf "$work/ref"; sync
  t0=$(now_ms)
  if dd if=/dev/zero of="$work/dd.out" bs=1M count=1024 conv=fsync status=none; then
    echo $(( $(now_ms) - t0 )) >>"$work/dd"
  else
    dd_failed="dd failed"
  fi
  rm -f "$work/dd.out"
done
ours=$(median <"$work/ours"); [ -n "$ours_failed" ] && ours=
ref_ms=$(median <"$work/ref-ms"); [ -n "$ref_failed" ] && ref_ms=
dd_ms=$(median <"$work/dd"); [ -n "$dd_failed" ] && dd_ms=
longest=$(median <"$work/longest"); [ -n "$ours_failed" ] && longest=
row "chunked install, 1 GiB in 200 files (wall)" "$ours" "$ref_ms" ms \
  "curl, one blob after another, + sha256sum -c" 0.4 "${ours_failed:-$ref_failed}"
row "  the same" "$ours" "$dd_ms" ms "dd conv=fsync writing 1 GiB" 1.5 "${ours_failed:-$dd_failed}"
row "  longest frame during it" "$longest" - ms "(median frame $(median <"$work/median") ms)" 25 "$ours_failed"
fi

# --- delta update of a 2 GiB file ----------------------------------------------------------------
if has delta; then
echo "delivery: update of a 2 GiB file ..." >&2
rm -rf "$work/inst"
install delta "$work/inst" >/dev/null
new=$work/rel-delta/world.pak
for i in $(seq 0 15); do   # 16 scattered 64 KiB edits
  noise 65536 "edit$i" | dd of="$new" bs=64K seek=$(( (i * 2039 + 97) % (mib * 16 - 68) )) conv=notrunc status=none
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
ours_bytes=$(served_bytes "$from")
update_failed=
if ! cmp -s "$work/inst/world.pak" "$work/world-v2.pak"; then
  update_failed="our update left a wrong file"
  ours_bytes= update_ms=
fi
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
zsync_failed=
(cd "$work/zsync" && zsync -q -i "$work/world-v1.pak" -o "$work/zsync/out.pak" "$work/zsync/world.zsync" >/dev/null 2>&1) ||
  zsync_failed="zsync failed"
[ -z "$zsync_failed" ] && ! cmp -s "$work/zsync/out.pak" "$work/world-v2.pak" && zsync_failed="zsync's result is wrong"
kill "$nginx_pid" 2>/dev/null; wait "$nginx_pid" 2>/dev/null || true
nginx_pid=
zsync_ranges=$(tail -n +"$(( start_line + 1 ))" "$work/zsync/nginx/access.log" |
  awk '$1 == "GET" && $2 == "/world.pak" {s += $4} END{printf "%.0f\n", s}')
zsync_bytes=$(( $(stat -c %s "$work/zsync/world.zsync") + zsync_ranges ))
[ -n "$zsync_failed" ] && zsync_bytes=
rm -rf "$work/zsync"
# casync: its index plus the chunks of the new version that the old one lacks.
casync_failed= casync_bytes=
if casync make --store="$work/ca1" "$work/ca1.caibx" "$work/world-v1.pak" >/dev/null 2>&1 &&
   casync make --store="$work/ca2" "$work/ca2.caibx" "$work/world-v2.pak" >/dev/null 2>&1; then
  casync_bytes=$(( $(stat -c %s "$work/ca2.caibx") + $( (cd "$work/ca2" && find . -type f -name '*.cacnk' -printf '%P %s\n') |
    while read -r chunk bytes; do [ -e "$work/ca1/$chunk" ] || echo "$bytes"; done | awk '{s += $1} END{printf "%.0f\n", s}') ))
else
  casync_failed="casync make failed"
fi
rm -rf "$work/ca1" "$work/ca2" "$work"/ca*.caibx "$work/world-v1.pak"
row "update of a 2 GiB file after 16 64 KiB edits and a 1 MiB insertion (bytes fetched)" "$ours_bytes" \
  "$zsync_bytes" bytes "zsync (control file + ranges from nginx)" 1.0 "${update_failed:-$zsync_failed}"
row "  the same" "$ours_bytes" "$casync_bytes" bytes "casync (index + missing chunks)" 1.0 "${update_failed:-$casync_failed}"
row "  the same" "$ours_bytes" "$size" bytes "the file's size" 0.03 "$update_failed"
row "  the same (wall)" "$update_ms" "$full_ms" ms "a full chunked install of the file" 0.15 "$update_failed"
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
resume_failed=
cmp -s "$work/inst/world.pak" "$work/world-v2.pak" || resume_failed="the resumed install left a wrong file"
all_bytes=$(served_bytes "$from")
distinct_bytes=$(tail -n +"$(( from + 1 ))" "$work/server.log" |
  awk '$1 == "GET" && $2 ~ /^\/files\/(chunks|indexes)\// {print $2}' | sort -u |
  while read -r p; do stat -c %s "$work/server$p"; done | awk '{s += $1} END{printf "%.0f\n", s}')
twice=$(( all_bytes - distinct_bytes ))
[ -n "$resume_failed" ] && twice=
row "kill -9 at half of a 2 GiB file, then start again (bytes fetched twice)" "$twice" "$size" bytes \
  "the file's size" 0.02 "$resume_failed"
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
huge_failed= peak_mib= huge_longest=
if out=$(install huge "$work/inst"); then
  read -r _ _ idle peak <<<"$out"
  peak_mib=$(( (peak - idle) / 1024 ))
  huge_longest=$(frame_field longest)
else
  huge_failed="our install failed"
fi
row "peak memory above idle, installing one 4 GiB file (chunked)" "$peak_mib" - MiB \
  "(idle $(( ${idle:-0} / 1024 )) MiB)" 64 "$huge_failed"
row "longest frame during the 4 GiB install" "$huge_longest" - ms "(median frame $(frame_field median) ms)" 25 "$huge_failed"
rm -rf "$work/inst"
fi

# --- updates of an installed 2 GiB file: kept cut, in place, one connection pool -----------------
if has inplace; then
echo "delivery: updates of an installed 2 GiB file ..." >&2
rel=$work/rel-ip
mkdir -p "$rel"
mib=${INPLACE_MIB:-2048}   # the file's size; smaller for a quick look
ip_size=$([ "$mib" = 2048 ] && echo "2 GiB" || echo "$mib MiB")
noise $((mib << 20)) inplace >"$rel/world.pak"
publish inplace "$rel" 1.0.0
rm -rf "$work/inst"; sync
read -r full_ms _ _ _ < <(install inplace "$work/inst")
cp -a "$work/inst" "$work/inst-v1"   # the installed 1.0.0 with its record and kept cut, times kept
for i in $(seq 0 15); do   # 16 scattered same-size 64 KiB edits
  noise 65536 "ipedit$i" | dd of="$rel/world.pak" bs=64K seek=$(( (i * 2039 + 97) % (mib * 16 - 68) )) conv=notrunc status=none
done
publish inplace "$rel" 2.0.0
from=$(log_lines)
read -r edit_ms _ _ _ < <(install inplace "$work/inst")
cmp -s "$work/inst/world.pak" "$rel/world.pak" || echo "delivery bench: the update in place is wrong" >&2
edit_io=$(sed -n 's/^write_bytes \([0-9-]*\), job planning read \([0-9]*\) bytes, job connections \([0-9]*\)$/\1 \2 \3/p' "$work/frames")
read -r edit_written plan_read connections <<<"$edit_io"
edit_job_ms=$(sed -n 's/^job \([0-9]*\) ms$/\1/p' "$work/frames")
edit_longest=$(frame_field longest) edit_median=$(frame_field median)
changed=$(tail -n +"$(( from + 1 ))" "$work/server.log" | awk '$1 == "GET" && $2 ~ /^\/files\/chunks\// {print $2}' |
  while read -r p; do stat -c %s "$work/server$p"; done | awk '{s += $1} END{printf "%.0f\n", s}')
# The same update again, traced: every connect() of the process (the manifest's request included).
rm -rf "$work/inst"; cp -a "$work/inst-v1" "$work/inst"
traced=-
if command -v strace >/dev/null; then
  strace -f -qq -e trace=connect -o "$work/connects" "$bench" install "$url" inplace "$work/inst" >/dev/null 2>&1 &&
    traced=$(grep -c 'connect(.*AF_INET' "$work/connects")
fi
# The same update over a 100 Mbit/s link: the backend's port limited with tc on the loopback
# device (root), removed again at once. The reference is the time its bytes take at that rate.
rm -rf "$work/inst"; cp -a "$work/inst-v1" "$work/inst"
slow_ms= slow_ref= slow_why="tc could not limit the backend's port (root only)"
if limit_port "${url##*:}" 100mbit 256kb; then
  from=$(log_lines)
  if out=$(install inplace "$work/inst"); then
    read -r slow_ms _ _ _ <<<"$out"
    slow_ref=$(( $(served_bytes "$from") * 8 / 100000 ))
  else
    slow_why="the update at 100 Mbit/s failed"
  fi
  unlimit
fi
rm -rf "$work/inst"; cp -a "$work/inst-v1" "$work/inst"
insert_at=$(( 1234567891 * mib / 2048 ))
{ head -c $insert_at "$rel/world.pak"; noise $((1 << 20)) ipinsert; tail -c +$((insert_at + 1)) "$rel/world.pak"; } >"$rel/new"
mv "$rel/new" "$rel/world.pak"
publish inplace "$rel" 3.0.0
read -r insert_ms _ _ _ < <(install inplace "$work/inst")
cmp -s "$work/inst/world.pak" "$rel/world.pak" || echo "delivery bench: the update with an insertion is wrong" >&2
size=$(stat -c %s "$rel/world.pak")
rm -rf "$work/inst" "$work/inst-v1" "$rel"
row "update of an installed $ip_size file after 16 same-size 64 KiB edits (wall)" "$edit_ms" "$full_ms" ms \
  "a full chunked install of the file" 0.1
row "  the same, of it the job (after the plan: kept cut, journal, chunks, flush)" \
  "$edit_job_ms" "$full_ms" ms "a full chunked install of the file" 0.1
row "  the same, longest frame" "$edit_longest" - ms "(median frame $edit_median ms)" 25
row "  the same at 100 Mbit/s (tc on the backend's port)" "$slow_ms" "$slow_ref" ms \
  "its bytes at 100 Mbit/s" 1.5 "$slow_why"
row "  the same, bytes written (journal included)" "$edit_written" "$changed" bytes "the changed chunks" 3
row "  the same, old-file bytes read to plan" "$plan_read" "$size" bytes "the file's size" 0.01
row "  the same, connections opened by the job" "$connections" 8 connections "transfers at a time" 1
row "  the same, connect() calls of the whole process (strace)" "$traced" 8 connections \
  "transfers at a time (+1: the manifest's request)" -
row "update of an installed $ip_size file after 16 edits and a 1 MiB insertion (wall)" "$insert_ms" "$full_ms" ms \
  "a full chunked install of the file" 1.0
fi
