#!/usr/bin/env bash
# Updates of real Linux software trees, the launcher against rsync and per-file zstd patches, in
# one run: prints "row|..." lines in the format of scripts/bench and removes its data afterwards.
#
#   bench/real_updates.sh WORK_FOLDER   (BUILD_DIR: a release build folder, default build-bench;
#                                        CACHE: where the packages are kept between runs, default
#                                        ~/.cache/tarnwick-bench/debs; PAIRS: some of "A B C")
#
# The pairs are Debian packages in two versions, fetched once with `apt-get download` into the
# cache (a version the archive no longer has skips its pair with a line saying so):
#   A openjdk-17-jre-headless 17.0.19+10-1~deb12u2 -> 17.0.21.1+2-1~deb12u1 (a Java runtime)
#   B chromium 150.0.7871.100-1~deb12u1 -> 156.0.8078.129-1~deb12u1 (a browser, six versions)
#   C libreoffice-core 4:7.4.7-1+deb12u13 -> 4:7.4.7-1+deb12u14 (an office suite, one fix)
# Each old tree is published with `--chunks 64` and installed by the real patcher from the
# development backend; then the new tree is published and the install updated. Rows per pair:
# bytes fetched (every chunk, index, delta and span file the backend served) against `rsync -az`
# from an rsync daemon on 127.0.0.1 (bytes the client received) and against `zstd -19 --long=31
# --patch-from` of every changed file (a new file compressed whole); peak memory of the update
# above the patcher idle; the publisher's time for the new tree against `zstd -19 -T2` of the
# changed files; the wall time of the update over a 100 Mbit/s link (tc on the server's port,
# root only) against rsync -az over the same; then two releases behind: the archive keeps no
# third version, so a third release is made from the new tree by a fix that rewrites 16 bytes in
# every MiB of each changed file, published, and the old install updated to it (bytes against the
# update from the previous release, rsync -az and the patches from the old tree); and the bytes
# of all pairs against the patches'. Needs rsync and zstd (installed from Debian when missing, as
# root) and about 8 GiB free under the work folder.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
. bench/limit_port.sh
work=${1:?usage: bench/real_updates.sh WORK_FOLDER}
build=${BUILD_DIR:-build-bench}
cache=${CACHE:-$HOME/.cache/tarnwick-bench/debs}
pairs=" ${PAIRS:-A B C} "

if [ ! -x "$build/patcher_bench" ]; then
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DTARNWICK_TESTS=OFF >/dev/null
  cmake --build "$build" -j "$(nproc)" --target tarnwick-server tarnwick-publish >/dev/null
  key=$(sed -n 's/^TARNWICK_TRUSTED_KEY:STRING=//p' "$build/CMakeCache.txt")
  g++ -std=c++20 -O2 -Isrc "-DTARNWICK_TRUSTED_KEY=\"$key\"" "-DTARNWICK_VERSION=\"0.1.3\"" bench/patcher_bench.cpp \
    "$build/libtarnwick.a" -lcrypto -lsimdjson -lcurl -lzstd -lSDL2 -lX11 -pthread -o "$build/patcher_bench"
fi
bench=$root/$build/patcher_bench
for tool in rsync zstd; do
  if ! command -v $tool >/dev/null; then
    if [ "$(id -u)" = 0 ]; then apt-get install -y --no-install-recommends $tool >/dev/null
    else echo "real updates: $tool is missing: apt-get install $tool" >&2; exit 1; fi
  fi
done

mkdir -p "$work" "$cache"
server=
rsyncd=
limited=
cleanup() {
  [ -n "$server" ] && kill $server 2>/dev/null && wait $server 2>/dev/null || true
  [ -n "$rsyncd" ] && kill $rsyncd 2>/dev/null && wait $rsyncd 2>/dev/null || true
  [ -n "$limited" ] && unlimit
  rm -rf "$work"
}
trap cleanup EXIT

now_ms() { echo $(( $(date +%s%N) / 1000000 )); }
row() {  # WORK OURS REF UNIT REFERENCE LIMIT
  local ratio=-
  [ "$3" != "-" ] && ratio=$(awk -v a="$2" -v b="$3" 'BEGIN{printf "%.3g", a / b}')
  printf 'row|%s|%s|%s|%s|%s|%s|%s\n' "$1" "$2" "$3" "$4" "$ratio" "$5" "$6"
}
free_port() {
  local p
  while :; do
    p=$((20000 + RANDOM % 40000))
    (exec 3<>/dev/tcp/127.0.0.1/$p) 2>/dev/null || { echo $p; return; }
  done
}
publish() {  # CHANNEL FOLDER VERSION
  "$build/tools/tarnwick-publish" publish --key keys/development/release-signing-key.pem --channel "$1" \
    --version "$3" --from "$2" --to "$work/server" --chunks 64 >"$work/publish.out" 2>"$work/publish.err"
}
served_bytes() {  # bytes of chunk, index, delta and span files served after log line $1
  tail -n +"$(( $1 + 1 ))" "$work/server.log" |
    awk '$1 == "GET" && $3 == "200" && $2 ~ /^\/files\/(chunks|indexes|deltas|spans)\// {print $2}' |
    while read -r p; do stat -c %s "$work/server$p"; done | awk '{s += $1} END{printf "%.0f\n", s}'
}
# The package's file in the cache, fetched when missing; "" when the archive no longer has it.
deb_of() {  # NAME VERSION
  local pattern="$cache/${1}_${2/:/%3a}_"
  ls "$pattern"*.deb 2>/dev/null | head -n 1 && return
  (cd "$cache" && apt-get download "$1=$2" >/dev/null 2>&1) || true
  ls "$pattern"*.deb 2>/dev/null | head -n 1 || true
}

"$build/server/tarnwick-server" --data "$work/server" --listen 127.0.0.1:0 --seed --fast-hash \
  >"$work/server.out" 2>"$work/server.log" &
server=$!
url=
for _ in $(seq 200); do
  url=$(head -n 1 "$work/server.out" 2>/dev/null || true)
  [ -n "$url" ] && break
  sleep 0.05
done
[ -n "$url" ] || { echo "real updates: the development backend did not start" >&2; exit 1; }

rsync_port=$(free_port)
cat >"$work/rsyncd.conf" <<EOF
use chroot = no
[new]
path = $work/rsync-new
read only = yes
EOF
mkdir -p "$work/rsync-new"

# Bytes of per-file patches from tree $1 to tree $2, the changed files listed into $3 (NUL-separated).
patches_of() {  # OLD NEW LIST
  local sum=0 f size
  : >"$3"
  while IFS= read -r -d '' f; do
    f=${f#"$2/"}
    [ -f "$1/$f" ] && [ ! -L "$1/$f" ] && cmp -s "$1/$f" "$2/$f" && continue
    printf '%s\0' "$2/$f" >>"$3"
    if [ -f "$1/$f" ] && [ ! -L "$1/$f" ]; then
      zstd -q -19 --long=31 --patch-from="$1/$f" "$2/$f" -o "$work/patch" -f
    else
      zstd -q -19 --long=31 "$2/$f" -o "$work/patch" -f
    fi
    size=$(stat -c %s "$work/patch"); sum=$((sum + size))
  done < <(find "$2" -type f -print0)
  echo $sum
}
rsync_bytes() {  # OLD NEW: what rsync -az from the daemon receives updating a copy of OLD to NEW
  rm -rf "$work/rsync-new" "$work/rsync-dest"
  cp -a "$2" "$work/rsync-new"; cp -a "$1" "$work/rsync-dest"
  rsync -az --delete --stats "rsync://127.0.0.1:$rsync_port/new/" "$work/rsync-dest/" |
    sed -n 's/^Total bytes received: \([0-9,]*\).*/\1/p' | tr -d ,
}
# A fix of the tree $1 against $2 into $3: 16 bytes rewritten in every MiB of each file that differs.
third_release() {  # NEW OLD OUT
  local f
  cp -a "$1" "$3"
  while IFS= read -r -d '' f; do
    f=${f#"$1/"}
    [ -f "$2/$f" ] && [ ! -L "$2/$f" ] && cmp -s "$2/$f" "$1/$f" && continue
    perl -e 'my ($p) = @ARGV; my $size = -s $p; open(my $h, "+<:raw", $p) or die "$p: $!";
      for (my $at = int($size / 2) % (1 << 20); $at + 16 < $size; $at += 1 << 20) {
        seek($h, $at, 0); read($h, my $b, 16); seek($h, $at, 0); print $h ($b ^ ("\x5A" x 16)); }' "$3/$f"
  done < <(find "$1" -type f -print0)
}

# Every file as published (the launcher's record and kept cuts aside); only links that leave the
# tree (the publisher skips them) and the folders left holding nothing else may be missing.
same_tree() {  # INSTALL TREE WHAT
  { diff -rq --no-dereference "$1" "$2" -x install.json -x install.cuts 2>&1 || true; } | while IFS= read -r line; do
    if [[ $line =~ ^Only\ in\ (.*):\ (.*)$ ]]; then
      f=${BASH_REMATCH[1]}/${BASH_REMATCH[2]}
      [ -L "$f" ] || { [ -d "$f" ] && [ -z "$(find "$f" -type f -print -quit)" ]; } && continue
    fi
    echo "real updates: $3: the updated install differs from the published tree: $line" >&2
  done
}

pair() {  # LETTER NAME OLD NEW
  local letter=$1 name=$2 old_v=$3 new_v=$4 old_deb new_deb
  [[ $pairs == *" $letter "* ]] || return 0
  old_deb=$(deb_of "$name" "$old_v"); new_deb=$(deb_of "$name" "$new_v")
  if [ -z "$old_deb" ] || [ -z "$new_deb" ]; then
    echo "real updates: pair $letter skipped: the archive no longer has $name $([ -z "$old_deb" ] && echo "$old_v" || echo "$new_v")" >&2
    return 0
  fi
  echo "real updates: pair $letter ($name) ..." >&2
  local old=$work/$letter-old new=$work/$letter-new inst=$work/$letter-inst
  rm -rf "$old" "$new" "$inst"
  dpkg-deb -x "$old_deb" "$old"; dpkg-deb -x "$new_deb" "$new"

  # The launcher: install the old release, publish the new one, update.
  publish "$letter" "$old" 1 || { cat "$work/publish.err" >&2; return 1; }
  "$bench" install "$url" "$letter" "$inst" >/dev/null 2>&1
  cp -a "$inst" "$inst-v1"   # for the update again at 100 Mbit/s
  local t0 publish_ms from wall cpu idle peak ours
  t0=$(now_ms)
  publish "$letter" "$new" 2 || { cat "$work/publish.err" >&2; return 1; }
  publish_ms=$(( $(now_ms) - t0 ))
  sed -n "s/^\(deltas\|spans\)/real updates: pair $letter: \1/p" "$work/publish.out" >&2
  from=$(wc -l <"$work/server.log")
  read -r wall cpu idle peak < <("$bench" install "$url" "$letter" "$inst" 2>/dev/null)
  ours=$(served_bytes "$from")
  same_tree "$inst" "$new" "pair $letter"

  # rsync -az from a daemon on loopback, into a copy of the old tree.
  rsync --daemon --no-detach --address=127.0.0.1 --port="$rsync_port" --config="$work/rsyncd.conf" &
  rsyncd=$!
  sleep 0.5
  local rsync_bytes
  rsync_bytes=$(rsync_bytes "$old" "$new")
  # The same two updates over a 100 Mbit/s link: tc on the server's port only, removed again.
  local slow_ours= slow_rsync=
  rm -rf "$inst"; cp -a "$inst-v1" "$inst"
  if limit_port "${url##*:}" 100mbit 256kb; then limited=1
    read -r slow_ours _ < <("$bench" install "$url" "$letter" "$inst" 2>/dev/null) || slow_ours=
    unlimit; limited=
  fi
  rm -rf "$work/rsync-dest"; cp -a "$old" "$work/rsync-dest"
  if limit_port "$rsync_port" 100mbit 256kb; then limited=1
    t0=$(now_ms)
    rsync -az --delete "rsync://127.0.0.1:$rsync_port/new/" "$work/rsync-dest/" && slow_rsync=$(( $(now_ms) - t0 ))
    unlimit; limited=
  fi

  # Two releases behind: a third release, published, and the old install updated to it.
  local third=$work/$letter-third behind behind_rsync behind_patches
  third_release "$new" "$old" "$third"
  publish "$letter" "$third" 3 || { cat "$work/publish.err" >&2; return 1; }
  sed -n "s/^\(deltas\|spans\)/real updates: pair $letter, third release: \1/p" "$work/publish.out" >&2
  rm -rf "$inst"; cp -a "$inst-v1" "$inst"
  from=$(wc -l <"$work/server.log")
  "$bench" install "$url" "$letter" "$inst" >/dev/null 2>&1
  behind=$(served_bytes "$from")
  same_tree "$inst" "$third" "pair $letter, two releases behind"
  behind_rsync=$(rsync_bytes "$old" "$third")
  kill $rsyncd; wait $rsyncd 2>/dev/null || true; rsyncd=
  rm -rf "$work/rsync-new" "$work/rsync-dest" "$inst-v1"
  behind_patches=$(patches_of "$old" "$third" "$work/changed-third")
  rm -rf "$third"

  # Per-file patches, and zstd -19 of the changed files (the publisher's reference time).
  local changed_list=$work/changed patches
  patches=$(patches_of "$old" "$new" "$changed_list")
  t0=$(now_ms)
  xargs -0 -r cat <"$changed_list" | zstd -q -19 -T2 -c >/dev/null
  local zstd_ms=$(( $(now_ms) - t0 ))

  row "pair $letter ($name): bytes fetched" "$ours" "$rsync_bytes" bytes "rsync -az from a daemon on loopback" 0.5
  row "  the same" "$ours" "$patches" bytes "zstd -19 --long=31 --patch-from per changed file" 1
  row "  wall time at 100 Mbit/s (tc on the server's port)" "$slow_ours" "$slow_rsync" ms "rsync -az at 100 Mbit/s" 1
  row "  the same" "$slow_ours" "$(( patches * 8 / 100000 ))" ms "the zstd patches' bytes at 100 Mbit/s (transfer only)" -
  row "  peak memory of the update above the patcher idle" "$(( (peak - idle) / 1024 ))" - MiB "" 64
  row "  publisher time for the new tree (two cores)" "$publish_ms" "$zstd_ms" ms "zstd -19 -T2 of the changed files" 2
  row "  two releases behind: bytes fetched" "$behind" "$ours" bytes "the update from the previous release" 1.2
  row "  the same" "$behind" "$behind_rsync" bytes "rsync -az from the old tree" 0.5
  row "  the same" "$behind" "$behind_patches" bytes "zstd -19 --long=31 --patch-from per changed file, from the old tree" 1
  sum_ours=$((sum_ours + ours)); sum_patches=$((sum_patches + patches))
  echo "real updates: pair $letter: update took ${wall} ms wall on loopback" >&2
  rm -rf "$old" "$new" "$inst"
}


sum_ours=0
sum_patches=0
pair A openjdk-17-jre-headless 17.0.19+10-1~deb12u2 17.0.21.1+2-1~deb12u1
pair C libreoffice-core 4:7.4.7-1+deb12u13 4:7.4.7-1+deb12u14
pair B chromium 150.0.7871.100-1~deb12u1 156.0.8078.129-1~deb12u1
[ "$sum_patches" -gt 0 ] &&
  row "all pairs measured: bytes fetched" "$sum_ours" "$sum_patches" bytes "zstd -19 --long=31 --patch-from per changed file" 0.85
exit 0
