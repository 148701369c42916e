#!/usr/bin/env bash
# Times kestrune-collect against the tools an operator would otherwise use,
# on the same data served by nginx on loopback, and prints a table of median
# wall times.  Not a test: it only reports.
#
#   bench/compare/run.sh                 # 3 rounds, full sizes
#   ROUNDS=5 bench/compare/run.sh
#   A_FILES=200 B_MIB=32 bench/compare/run.sh   # smaller data
#   RTT_MS=20 bench/compare/run.sh       # every client 20 ms away from nginx
#   KC=/path/to/old/kestrune-collect bench/compare/run.sh   # time another build
#   KC_ARGS="--jobs 8" bench/compare/run.sh   # extra arguments for kestrune-collect
#   CASES="A C" bench/compare/run.sh     # only these cases
#   CASES=G G_MIB=64 G_GROW_MIB=2 bench/compare/run.sh   # a small grown log
#   CASES=T T_FILES=50 bench/compare/run.sh   # a small tree of three sites
#
# Cases:  A     A_FILES files x 8 KiB, fresh
#         B     B_FILES files x B_MIB MiB, fresh
#         C     A again with everything unchanged (runs A too)
#         A200  A200_FILES (200) files x 8 KiB, fresh
#         C365  C365_FILES (365) files x 1 MiB, unchanged: a year of daily
#               logs collected again.  Each round first fills the folder
#               afresh, timed as its own row F365 (like A before C).
#         G     one log of G_MIB (1024) MiB that grew by G_GROW_MIB (10) MiB:
#               each run starts, untimed, from a folder holding the first
#               G_MIB MiB (an hour older than the file on the server); nginx
#               serves the whole file.  Also reported: the bytes nginx sent
#               during each tool's run (its access log's $bytes_sent: headers,
#               listing page and bodies), against the new bytes.  G has its
#               own G_ROUNDS (default ROUNDS): a round copies G_MIB MiB into
#               four folders and moves at least two full files (some 15 s a
#               round at 1 GiB on loopback).
#         T     a tree as IIS writes its logs: a listing of three site folders
#               (W3SVC1, W3SVC2, HTTPERR), T_FILES (200) files x 8 KiB in
#               each, collected with its folders (kestrune-collect -r, wget
#               -r -l2 -np, rclone copy); then TU, the same tree again with
#               everything unchanged.  Also reported: the requests nginx
#               answered during each run and the files each tool holds after.
# CASES defaults to "A B C A200 C365 G T", and to "A200 C365" when RTT_MS is set
# (A and C at 2000 files cost minutes per round at 20 ms, and G moves two
# whole 1 GiB files a round through the relay; name them in CASES to run
# them through the relay too).
# Tools:  kestrune-collect ($KC, default build/bin/kestrune-collect),
#         wget -r -l1 -np -nd -N, rclone copy --size-only (http remote), and
#         for B, A200 and C365 curl: one process for all files (it keeps its
#         connection, as the others do), --remote-time, and for a file that
#         is already there -z FILE, so an unchanged file costs a 304.  curl
#         gets the names from the server's folder, not from the listing page.
#         In G wget also gets -c, so it asks for the rest of the file (a range)
#         instead of all of it; rclone copies a file whose size differs in
#         full, and curl downloads the whole file (the local copy is older).
#         Rounds alternate the tools.
#         KC_ARGS (split at blanks) goes to every run of kestrune-collect and
#         into the report's heading; without it, kestrune-collect runs with
#         its own defaults (--jobs 8).
# Distance: RTT_MS=N puts relay.py (beside this script) between every client
#         and nginx: it holds each new connection for one round trip (the
#         handshake) and delays every chunk by half a round trip each way.
#         RTT_MS=0 runs through the relay without delay (its own overhead).
# Also:   peak RSS of kestrune-collect, and its CPU seconds during a 10 s
#         page-load wait on a server that never answers (never through the
#         relay).
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
BUILD="${KESTRUNE_BUILD:-$ROOT/build}"
ROUNDS="${ROUNDS:-3}"
A_FILES="${A_FILES:-2000}"
A_BYTES="${A_BYTES:-8192}"
B_FILES="${B_FILES:-4}"
B_MIB="${B_MIB:-256}"
A200_FILES="${A200_FILES:-200}"
C365_FILES="${C365_FILES:-365}"
C365_BYTES="${C365_BYTES:-1048576}"
T_FILES="${T_FILES:-200}"
G_MIB="${G_MIB:-1024}"
G_GROW_MIB="${G_GROW_MIB:-10}"
G_ROUNDS="${G_ROUNDS:-$ROUNDS}"
STALL_SECONDS="${STALL_SECONDS:-10}"
RTT_MS="${RTT_MS:-}"
KC_ARGS="${KC_ARGS:-}"
if [ -n "$RTT_MS" ]; then CASES="${CASES:-A200 C365}"; else CASES="${CASES:-A B C A200 C365 G T}"; fi

say() { echo "compare: $*" >&2; }
want() { [[ " $CASES " == *" $1 "* ]]; }
for c in $CASES; do
  case "$c" in A|B|C|A200|C365|G|T) ;; *) say "unknown case '$c' in CASES (A B C A200 C365 G T)"; exit 2 ;; esac
done
[ -n "${CASES// /}" ] || { say "CASES names no case"; exit 2; }
want C && ! want A && CASES="A $CASES"
if [ -n "$RTT_MS" ] && ! [[ "$RTT_MS" =~ ^[0-9]+([.][0-9]+)?$ ]]; then
  say "RTT_MS must be a number of milliseconds, not '$RTT_MS'"; exit 2
fi
for v in G_MIB G_GROW_MIB G_ROUNDS T_FILES; do
  [[ "${!v}" =~ ^[0-9]+$ ]] && [ "${!v}" -gt 0 ] || { say "$v must be a whole number above 0, not '${!v}'"; exit 2; }
done

# ---------------------------------------------------------------- set-up
install_missing() {
  local missing=() cmd pkg
  for pair in wget:wget curl:curl rclone:rclone nginx:nginx-light time:time python3:python3; do
    cmd="${pair%%:*}"; pkg="${pair#*:}"
    if [ "$cmd" = time ]; then [ -x /usr/bin/time ] && continue
    elif [ "$cmd" = nginx ]; then { command -v nginx || [ -x /usr/sbin/nginx ]; } >/dev/null 2>&1 && continue
    else command -v "$cmd" >/dev/null 2>&1 && continue; fi
    missing+=("$pkg")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  say "installing ${missing[*]}"
  local apt=(apt-get)
  [ "$(id -u)" -ne 0 ] && apt=(sudo apt-get)
  DEBIAN_FRONTEND=noninteractive "${apt[@]}" update -qq
  DEBIAN_FRONTEND=noninteractive "${apt[@]}" install -y -qq --no-install-recommends "${missing[@]}"
}
install_missing
NGINX="$(command -v nginx || echo /usr/sbin/nginx)"

KC="${KC:-$BUILD/bin/kestrune-collect}"
if [ "$KC" = "$BUILD/bin/kestrune-collect" ] && [ ! -x "$KC" ]; then
  say "building kestrune-collect in $BUILD"
  [ -f "$BUILD/build.ninja" ] || cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$BUILD" --target kestrune-collect >/dev/null
fi
if [ ! -x "$KC" ] || [ -d "$KC" ]; then say "no kestrune-collect program at $KC"; exit 2; fi
KC="$(cd "$(dirname "$KC")" && pwd)/$(basename "$KC")"
say "timing $KC${KC_ARGS:+ $KC_ARGS}"

WORK="$(mktemp -d /tmp/kestrune-compare.XXXXXX)"
NGINX_PID=""
RELAY_PID=""
STALL_PID=""
cleanup() {
  [ -n "$RELAY_PID" ] && kill "$RELAY_PID" 2>/dev/null && wait "$RELAY_PID" 2>/dev/null || true
  [ -n "$NGINX_PID" ] && kill "$NGINX_PID" 2>/dev/null && wait "$NGINX_PID" 2>/dev/null || true
  [ -n "$STALL_PID" ] && kill "$STALL_PID" 2>/dev/null && wait "$STALL_PID" 2>/dev/null || true
  rm -rf "$WORK"
}
trap cleanup EXIT
unset http_proxy HTTP_PROXY https_proxy HTTPS_PROXY all_proxy ALL_PROXY no_proxy NO_PROXY

free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1]); s.close()'
}

# IIS-style listing page of the files in folder $1 served under URL path $2.
write_listing() {
  python3 - "$1" "$2" <<'PY'
import os, sys
folder, path = sys.argv[1], sys.argv[2]
names = sorted(n for n in os.listdir(folder) if n != "index.html")
out = [f"<html><head><title>127.0.0.1 - {path}</title></head><body><H1>127.0.0.1 - {path}</H1><hr>\r\n\r\n<pre>",
       '<A HREF="/">[To Parent Directory]</A><br><br>']
for n in names:
    size = os.path.getsize(os.path.join(folder, n))
    out.append(f' 2026/12/01    10:00 {size:12d} <A HREF="{path}{n}">{n}</A><br>')
out.append("</pre><hr></body></html>\r\n")
open(os.path.join(folder, "index.html"), "w").write("".join(out))
PY
}

# COUNT files of SIZE bytes, each different, and their listing, in www/$1/.
make_files() {
  mkdir -p "$WORK/www/$1"
  python3 - "$WORK/www/$1" "$2" "$3" <<'PY'
import os, sys
folder, count, size = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
block = os.urandom(size + count)
for i in range(count):
    with open(os.path.join(folder, f"u_ex26{i:06d}.log"), "wb") as f:
        f.write(block[i:i + size])
PY
  write_listing "$WORK/www/$1" "/$1/"
}

say "generating data in $WORK (cases: $CASES)"
mkdir -p "$WORK/www" "$WORK/tmp" "$WORK/out"
want A && make_files a "$A_FILES" "$A_BYTES"
if want B; then
  mkdir -p "$WORK/www/b"
  for i in $(seq 1 "$B_FILES"); do
    head -c "$((B_MIB * 1024 * 1024))" /dev/urandom > "$WORK/www/b/u_ex_big$i.log"
  done
  write_listing "$WORK/www/b" /b/
fi
want A200 && make_files a200 "$A200_FILES" "$A_BYTES"
want C365 && make_files c365 "$C365_FILES" "$C365_BYTES"
# G: the grown log on the server, and its first G_MIB MiB as they were an
# hour earlier, which each run's folder starts from.
G_NAME=u_ex_grown.log
if want G; then
  mkdir -p "$WORK/www/g"
  head -c "$(( (G_MIB + G_GROW_MIB) * 1048576 ))" /dev/urandom > "$WORK/www/g/$G_NAME"
  head -c "$(( G_MIB * 1048576 ))" "$WORK/www/g/$G_NAME" > "$WORK/g_old.log"
  G_NEW_MTIME=$(( $(date +%s) - 60 ))
  touch -d "@$G_NEW_MTIME" "$WORK/www/g/$G_NAME"
  touch -d "@$(( G_NEW_MTIME - 3600 ))" "$WORK/g_old.log"
  write_listing "$WORK/www/g" /g/
fi
# T: three site folders under /t/, and the listing of the folders.
if want T; then
  for site in W3SVC1 W3SVC2 HTTPERR; do make_files "t/$site" "$T_FILES" "$A_BYTES"; done
  python3 - "$WORK/www/t" <<'PY'
import sys
folder = sys.argv[1]
rows = "".join(f'12/0{i + 1}/2026  9:00 AM        &lt;dir&gt; <A HREF="/t/{s}/">{s}</A><br>'
               for i, s in enumerate(["W3SVC1", "W3SVC2", "HTTPERR"]))
open(f"{folder}/index.html", "w").write(
    "<html><head><title>127.0.0.1 - /t/</title></head><body><H1>127.0.0.1 - /t/</H1><hr>\r\n\r\n<pre>"
    '<A HREF="/">[To Parent Directory]</A><br><br>' + rows + "</pre><hr></body></html>\r\n")
PY
fi
PROBE="/$(cd "$WORK/www" && ls | head -n1)/"

PORT="$(free_port)"
cat > "$WORK/nginx.conf" <<CONF
daemon off;
master_process off;
worker_processes 1;
error_log $WORK/error.log warn;
pid $WORK/nginx.pid;
events { worker_connections 1024; }
http {
  access_log off;
  client_body_temp_path $WORK/tmp/body;
  proxy_temp_path $WORK/tmp/proxy;
  fastcgi_temp_path $WORK/tmp/fastcgi;
  uwsgi_temp_path $WORK/tmp/uwsgi;
  scgi_temp_path $WORK/tmp/scgi;
  types { text/html html; text/plain log; }
  sendfile on;
  # G counts what nginx sent: every response under /g/, headers included.
  log_format sent '\$bytes_sent \$status "\$request"';
  server {
    listen 127.0.0.1:$PORT; root $WORK/www;
    # Served like a generated listing: always in full.  A 304 for it would
    # let wget -N stop there and never ask about the files.
    location ~ \.html\$ { if_modified_since off; etag off; }
    location ^~ /g/ {
      access_log $WORK/g-access.log sent;
      location ~ \.html\$ { if_modified_since off; etag off; }
    }
    # T counts the requests of each run.
    location ^~ /t/ {
      access_log $WORK/t-access.log sent;
      location ~ \.html\$ { if_modified_since off; etag off; }
    }
  }
}
CONF
"$NGINX" -p "$WORK" -e "$WORK/error.log" -c "$WORK/nginx.conf" &
NGINX_PID=$!
for _ in $(seq 1 100); do
  curl -fsS -o /dev/null "http://127.0.0.1:$PORT$PROBE" 2>/dev/null && break
  sleep 0.05
done
BASE="http://127.0.0.1:$PORT"

# Network distance: every client talks to the relay, the relay to nginx.  The
# listing's links are host-relative, so they lead to the relay as well.
if [ -n "$RTT_MS" ]; then
  RELAY_PORT="$(free_port)"
  python3 "$ROOT/bench/compare/relay.py" --listen "127.0.0.1:$RELAY_PORT" \
    --upstream "127.0.0.1:$PORT" --rtt-ms "$RTT_MS" 2>"$WORK/relay.log" &
  RELAY_PID=$!
  for _ in $(seq 1 100); do
    curl -fsS -o /dev/null "http://127.0.0.1:$RELAY_PORT$PROBE" 2>/dev/null && break
    sleep 0.05
  done
  BASE="http://127.0.0.1:$RELAY_PORT"
  say "clients go through a relay adding a $RTT_MS ms round trip"
fi

# ---------------------------------------------------------------- tools
# Each prints nothing and leaves the files in $2; $1 is the case's path.
tool_kestrune() {
  local extra=()
  read -r -a extra <<< "$KC_ARGS"
  [ "$1" = /t/ ] && extra+=(--recursive)
  "$KC" --quiet --log "$WORK/kestrune.log" "${extra[@]}" "$BASE$1" "$2"
}
tool_wget()     {
  local resume=()
  [ "$1" = /g/ ] && resume=(-c)  # G: ask for the rest of the grown file
  # T: the site folders kept, below the listing's own folder.
  [ "$1" = /t/ ] && { (cd "$2" && wget -q -r -l2 -np -nH --cut-dirs=1 -N -e robots=off "$BASE$1"); return; }
  (cd "$2" && wget -q -r -l1 -np -nd -N "${resume[@]}" -e robots=off "$BASE$1")
}
tool_rclone()   { rclone copy --size-only --http-url "$BASE$1" :http: "$2" >/dev/null 2>&1; }
tool_curl()     {
  local f n sep=""
  for f in "$WORK"/www"$1"u_ex*.log; do
    n="${f##*/}"
    printf '%surl = "%s"\noutput = "%s"\nsilent\nshow-error\nremote-time\n' "$sep" "$BASE$1$n" "$2/$n"
    [ -e "$2/$n" ] && printf 'time-cond = "%s"\n' "$2/$n"
    sep=$'next\n'
  done > "$WORK/curl.cfg"
  curl -K "$WORK/curl.cfg"
}

export KC KC_ARGS WORK BASE
export -f tool_kestrune tool_wget tool_rclone tool_curl

# Waits until nginx holds no open client connection, so that every request
# of the run just ended has been finished and logged.
nginx_idle() {
  local i
  for i in $(seq 1 200); do
    [ -z "$(ss -Htn state established state close-wait "( sport = :$PORT )")" ] && return 0
    sleep 0.05
  done
  say "WARNING: nginx still has connections open; G's byte count may be short"
}

# run CASE TOOL: times one run into $WORK/times/CASE.TOOL (wall, user, sys,
# max RSS KiB; for G also the bytes nginx sent, its requests and how many of
# them were answered with a range, 206).
run() {
  local case="$1" tool="$2" path dest
  case "$case" in A|C) path=/a/ ;; B) path=/b/ ;; A200) path=/a200/ ;; F365|C365) path=/c365/ ;; G) path=/g/ ;; T|TU) path=/t/ ;; esac
  dest="$WORK/out/$tool${path//\//_}"
  case "$case" in C|C365|TU) ;; *) rm -rf "$dest" ;; esac
  mkdir -p "$dest"
  local log_from=0
  if [ "$case" = G ]; then
    # Not timed: the copy as it was collected before the log grew.
    cp --reflink=auto "$WORK/g_old.log" "$dest/$G_NAME"
    touch -r "$WORK/g_old.log" "$dest/$G_NAME"
    nginx_idle
    log_from=$(stat -c %s "$WORK/g-access.log" 2>/dev/null || echo 0)
  elif [ "$path" = /t/ ]; then
    nginx_idle
    log_from=$(stat -c %s "$WORK/t-access.log" 2>/dev/null || echo 0)
  fi
  sync
  local status=0 start end
  # Wall time from the shell's clock: time's own %e has only 10 ms steps.
  start=$EPOCHREALTIME
  /usr/bin/time -f "%e %U %S %M" -o "$WORK/one.time" bash -c "tool_$tool '$path' '$dest'" || status=$?
  end=$EPOCHREALTIME
  if [ "$status" -ne 0 ]; then
    say "$tool on case $case exited with $status"
  fi
  mkdir -p "$WORK/times"
  local sent=""
  if [ "$case" = G ]; then
    nginx_idle
    sent=$(tail -c +"$((log_from + 1))" "$WORK/g-access.log" |
      awk '{ b += $1; n++; if ($2 == 206) r++ } END { printf "%d %d %d", b, n, r }')
    # Byte check of this run's copy (not timed): every round starts afresh.
    if ! diff -rq --exclude=index.html "$WORK/www/g" "$dest" >/dev/null; then
      say "WARNING: $tool's copy of /g/ differs from the served file (round $G_ROUND)"
      echo "$tool" >> "$WORK/g-differs"
    fi
  elif [ "$path" = /t/ ]; then
    # The requests nginx answered, and the log files the tool holds after.
    nginx_idle
    sent="$(tail -c +"$((log_from + 1))" "$WORK/t-access.log" | wc -l) $(find "$dest" -type f -name 'u_ex*.log' | wc -l)"
  fi
  echo "$start $end $(tail -n1 "$WORK/one.time") $sent" |
    awk '{ printf "%.4f %s %s %s", $2 - $1, $4, $5, $6; for (i = 7; i <= NF; i++) printf " %s", $i; printf "\n" }' \
    >> "$WORK/times/$case.$tool"
}

TOOLS=(kestrune wget rclone)
TOOLS4=(kestrune wget rclone curl)
MAIN_CASES=" $CASES "; MAIN_CASES="${MAIN_CASES// G / }"
[ -n "${MAIN_CASES// /}" ] || ROUNDS_RUN=0
for round in $(seq 1 "${ROUNDS_RUN:-$ROUNDS}"); do
  # Alternate the order from round to round.
  order=("${TOOLS[@]}")
  shift_by=$(( (round - 1) % ${#TOOLS[@]} ))
  order=("${order[@]:$shift_by}" "${order[@]:0:$shift_by}")
  order4=("${TOOLS4[@]}")
  shift_by=$(( (round - 1) % ${#TOOLS4[@]} ))
  order4=("${order4[@]:$shift_by}" "${order4[@]:0:$shift_by}")
  say "round $round/$ROUNDS: ${order[*]} (${order4[*]})"
  if want A; then for t in "${order[@]}"; do run A "$t"; done; fi
  if want C; then for t in "${order[@]}"; do run C "$t"; done; fi
  if want B; then for t in "${order[@]}" curl; do run B "$t"; done; fi
  if want A200; then for t in "${order4[@]}"; do run A200 "$t"; done; fi
  if want C365; then
    for t in "${order4[@]}"; do run F365 "$t"; done
    for t in "${order4[@]}"; do run C365 "$t"; done
  fi
  if want T; then
    for t in "${order[@]}"; do run T "$t"; done
    for t in "${order[@]}"; do run TU "$t"; done
  fi
done
if want G; then
  for G_ROUND in $(seq 1 "$G_ROUNDS"); do
    order4=("${TOOLS4[@]}")
    shift_by=$(( (G_ROUND - 1) % ${#TOOLS4[@]} ))
    order4=("${order4[@]:$shift_by}" "${order4[@]:0:$shift_by}")
    say "G round $G_ROUND/$G_ROUNDS: ${order4[*]}"
    for t in "${order4[@]}"; do run G "$t"; done
  done
fi

if [ -n "$RELAY_PID" ]; then
  kill "$RELAY_PID" && wait "$RELAY_PID" || true
  RELAY_PID=""
  say "$(tail -n1 "$WORK/relay.log")"
  if [ "$(wc -l < "$WORK/relay.log")" -gt 1 ]; then
    say "WARNING: the relay reported problems:"
    head -n 20 "$WORK/relay.log" >&2
  fi
fi

# Byte check of the copies against the served files: Kestrune's of every
# case, the other tools' of the small ones (a fault of the relay shows there).
# G's copies were checked after each run, every tool's.
for c in a b a200 c365 t; do
  [ -d "$WORK/www/$c" ] || continue
  for t in "${TOOLS4[@]}"; do
    [ "$t" = kestrune ] || [ "$c" != b ] || continue
    [ -d "$WORK/out/${t}_${c}_" ] || continue
    if ! diff -rq --exclude=index.html "$WORK/www/$c" "$WORK/out/${t}_${c}_" >/dev/null; then
      say "WARNING: $t's copy of /$c/ differs from the served files"
    fi
  done
done

# CPU per unchanged row: case C's folder collected again, one row at a time,
# against the same program on an empty listing (start-up, the page, the log),
# each the least of five runs, from the kernel's account of the child
# (getrusage: finer than time's 10 ms steps).
if want C && [ -d "$WORK/out/kestrune_a_" ]; then
  mkdir -p "$WORK/www/empty" "$WORK/out/empty"
  write_listing "$WORK/www/empty" /empty/
  sync # the writes of the cases before are not this program's work
  python3 - "$KC" "$BASE" "$WORK" > "$WORK/cpu-per-row" <<'PY'
import resource, subprocess, sys
kc, base, work = sys.argv[1:4]
def cpu(path, folder):
    best = None
    for _ in range(5):
        before = resource.getrusage(resource.RUSAGE_CHILDREN)
        subprocess.run([kc, "--quiet", "--jobs", "1", "--log", f"{work}/cpu.log", base + path, folder],
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        after = resource.getrusage(resource.RUSAGE_CHILDREN)
        used = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
        best = used if best is None else min(best, used)
    return best
print(cpu("/a/", f"{work}/out/kestrune_a_"), cpu("/empty/", f"{work}/out/empty"))
PY
fi

# CPU time during a page-load wait on a server that accepts and never answers.
STALL_PORT="$(free_port)"
python3 -c "
import socket, time
s = socket.socket(); s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
s.bind(('127.0.0.1', $STALL_PORT)); s.listen(8)
conns = []
while True:
    c, _ = s.accept(); conns.append(c)
" &
STALL_PID=$!
for _ in $(seq 1 100); do
  timeout 0.5 bash -c "exec 3<>/dev/tcp/127.0.0.1/$STALL_PORT" 2>/dev/null && break
  sleep 0.1
done
mkdir -p "$WORK/out/stall"
read -r -a kc_extra <<< "$KC_ARGS"
/usr/bin/time -f "%e %U %S %M" -o "$WORK/stall.time" \
  "$KC" --quiet "${kc_extra[@]}" --timeout "$STALL_SECONDS" --log "$WORK/stall.log" \
  "http://127.0.0.1:$STALL_PORT/logs/" "$WORK/out/stall" || true

# ---------------------------------------------------------------- report
python3 - "$WORK" "${ROUNDS_RUN:-$ROUNDS}" "$A_FILES" "$A_BYTES" "$B_FILES" "$B_MIB" "$STALL_SECONDS" \
  "$A200_FILES" "$C365_FILES" "$C365_BYTES" "$RTT_MS" \
  "$G_MIB" "$G_GROW_MIB" "$G_ROUNDS" "$KC_ARGS" "$T_FILES" <<'PY'
import os, statistics, sys
work, rounds = sys.argv[1], int(sys.argv[2])
a_files, a_bytes, b_files, b_mib, stall_s = sys.argv[3:8]
a200_files, c365_files, c365_bytes = int(sys.argv[8]), int(sys.argv[9]), int(sys.argv[10])
rtt = float(sys.argv[11]) / 1000 if sys.argv[11] else None
g_mib, g_grow_mib, g_rounds = int(sys.argv[12]), int(sys.argv[13]), int(sys.argv[14])
kc_args = " ".join(sys.argv[15].split())
t_files = int(sys.argv[16])
def load(case, tool):
    p = os.path.join(work, "times", f"{case}.{tool}")
    if not os.path.exists(p): return None
    rows = [list(map(float, l.split())) for l in open(p) if l.strip()]
    return rows
def med(case, tool, col=0):
    rows = load(case, tool)
    return statistics.median(r[col] for r in rows) if rows else None
def plural(n, word):
    return f"{n} {word}" + ("" if n == 1 else "s")
def size(n):
    return f"{n // 1048576} MiB" if n % 1048576 == 0 else f"{n // 1024} KiB"
cases = [("A", f"{a_files} x {int(a_bytes)//1024} KiB, fresh"),
         ("B", f"{b_files} x {b_mib} MiB, fresh"),
         ("C", f"A again, unchanged"),
         ("A200", f"{a200_files} x {int(a_bytes)//1024} KiB, fresh"),
         ("F365", f"{c365_files} x {size(c365_bytes)}, fresh (fills C365)"),
         ("C365", f"{c365_files} x {size(c365_bytes)}, unchanged"),
         ("G", f"{g_mib} MiB log grown by {g_grow_mib} MiB"
               + ("" if g_rounds == rounds else f" (median of {plural(g_rounds, 'round')})")),
         ("T", f"tree of 3 sites x {t_files} x {int(a_bytes)//1024} KiB, fresh"),
         ("TU", f"the tree again, unchanged")]
tools = ["kestrune", "wget", "rclone", "curl"]
ran = [(c, l) for c, l in cases if any(load(c, t) for t in tools)]
fmt = lambda v: "-" if v is None else (f"{v:.3f}" if v < 1 else f"{v:.2f}")
where = "loopback nginx" if rtt is None else f"nginx behind a relay adding a {rtt*1000:g} ms round trip"
settings = f"kestrune-collect {kc_args}" if kc_args else "kestrune-collect with its own defaults"
over = f" over {plural(rounds, 'round')}" if rounds else ""
print(f"\nMedian wall time in seconds{over} ({where}; {settings})\n")
print("| case | kestrune-collect | wget | rclone | curl | K ÷ wget | K ÷ rclone | K ÷ curl |")
print("|---|---:|---:|---:|---:|---:|---:|---:|")
for case, label in ran:
    m = {t: med(case, t) for t in tools}
    k = m["kestrune"]
    ratio = lambda t: "-" if (k is None or m[t] is None) else ("inf" if m[t] == 0 else f"{k / m[t]:.2f}")
    print(f"| {case}: {label} | {fmt(k)} | {fmt(m['wget'])} | {fmt(m['rclone'])} | {fmt(m['curl'])} "
          f"| {ratio('wget')} | {ratio('rclone')} | {ratio('curl')} |")
c365 = {t: med("C365", t) for t in tools}
if rtt and any(c365.values()):
    per = ", ".join(f"{t} {v / c365_files / rtt:.2f}" for t, v in c365.items() if v is not None)
    print(f"\nC365 wall per unchanged file, in round trips (median / {c365_files} / {rtt*1000:g} ms): {per}")
names = {"kestrune": "kestrune-collect"}
span = lambda vals: f"{min(vals):.0f}" if min(vals) == max(vals) else f"{min(vals):.0f}-{max(vals):.0f}"
new_bytes = g_grow_mib * 1048576
g_ran = [t for t in tools if load("G", t)]
differs = set()
if os.path.exists(os.path.join(work, "g-differs")):
    differs = {l.strip() for l in open(os.path.join(work, "g-differs")) if l.strip()}
if g_ran:
    print(f"\nG: bytes nginx sent during each run, headers and listing page included "
          f"(median of {plural(g_rounds, 'round')}); the new bytes: {new_bytes} ({g_grow_mib} MiB)\n")
    print("| tool | wall s | bytes sent | ÷ new bytes | requests | answered 206 | copy after each run |")
    print("|---|---:|---:|---:|---:|---:|---|")
    for t in g_ran:
        rows = load("G", t)
        sent = statistics.median(r[4] for r in rows)
        check = "differs from the served file" if t in differs else "same bytes as served"
        print(f"| {names.get(t, t)} | {fmt(med('G', t))} | {sent:.0f} | {sent / new_bytes:.2f} "
              f"| {span([r[5] for r in rows])} | {span([r[6] for r in rows])} | {check} |")
t_ran = [t for t in tools if load("T", t)]
if t_ran:
    print(f"\nT: the tree of 3 sites x {t_files} files, {3 * t_files} files in all; requests nginx answered "
          f"(listing pages included) and log files held after each run\n")
    print("| tool | fresh wall s | fresh requests | files | unchanged wall s | unchanged requests | files |")
    print("|---|---:|---:|---:|---:|---:|---:|")
    for t in t_ran:
        f, u = load("T", t), load("TU", t) or []
        print(f"| {names.get(t, t)} | {fmt(med('T', t))} | {span([r[4] for r in f])} | {span([r[5] for r in f])} "
              f"| {fmt(med('TU', t))} | {span([r[4] for r in u]) if u else '-'} | {span([r[5] for r in u]) if u else '-'} |")
peak = max((r[3] for c, _ in cases for r in (load(c, "kestrune") or [])), default=0)
print(f"\nPeak RSS of kestrune-collect (any run): {peak/1024:.1f} MiB")
cpu_row = None
if os.path.exists(os.path.join(work, "cpu-per-row")):
    c_cpu, empty_cpu = map(float, open(os.path.join(work, "cpu-per-row")).read().split())
    cpu_row = (c_cpu - empty_cpu) / int(a_files) * 1e6
    print(f"CPU per unchanged row (C at --jobs 1, least of 5, less an empty listing's run): "
          f"{cpu_row:.1f} µs ({c_cpu:.3f} s - {empty_cpu:.3f} s over {a_files} rows)")
st = [list(map(float, l.split())) for l in open(os.path.join(work, "stall.time")) if l.strip() and l[0].isdigit()][-1]
print(f"CPU during a {stall_s} s page-load wait on a stalled server: {st[1]+st[2]:.2f} s user+sys (wall {st[0]:.2f} s)")
b_k, b_c = med("B", "kestrune"), med("B", "curl")
print("\nGoals:" if rtt is None else f"\nGoals (this run at a {rtt*1000:g} ms round trip; the C365 ones are set at 20 ms):")
def goal(text, ok):
    print(f"  {'met    ' if ok else 'NOT met'}  {text}")
# Every case at most the fastest peer's wall time; B (which alone keeps a
# durable commit) by throughput against curl's.
for case, _ in ran:
    if case in ("B", "G"):
        continue
    k = med(case, "kestrune")
    peers = {t: med(case, t) for t in tools if t != "kestrune" and med(case, t)}
    if k and peers:
        best = min(peers, key=peers.get)
        goal(f"{case} <= 1.0x the fastest peer ({best}: {k / peers[best]:.2f}x)", k <= peers[best])
if b_k and b_c: goal(f"B throughput >= 1.0x curl's ({b_c/b_k:.2f}x)", b_c / b_k >= 1.0)
if cpu_row is not None: goal(f"CPU per unchanged row <= 50 µs ({cpu_row:.1f} µs)", cpu_row <= 50)
if load("G", "kestrune"):
    # The largest of the rounds, so one good round cannot hide a bad one.
    # A copy that differs from the served file meets no G goal: sending few
    # bytes is worth nothing when the log is wrong.
    g_ok = "kestrune" not in differs
    bad = "" if g_ok else "; its copy differs from the served file"
    g_sent = max(r[4] for r in load("G", "kestrune"))
    goal(f"G: bytes sent <= 1.05x the new bytes ({g_sent:.0f} = {g_sent / new_bytes:.3f}x, "
         f"largest of {plural(len(load('G', 'kestrune')), 'round')}{bad})",
         g_ok and g_sent <= 1.05 * new_bytes)
    g_k = med("G", "kestrune")
    peers = {t: med("G", t) for t in tools if t != "kestrune" and load("G", t)}
    if peers:
        vs = ", ".join(f"{t} {g_k / v:.2f}x" if v else f"{t} inf" for t, v in peers.items())
        goal(f"G: wall <= 1.0x every peer ({vs}{bad})", g_ok and all(g_k <= v for v in peers.values()))
goal(f"peak RSS <= 32 MiB ({peak/1024:.1f} MiB)", peak / 1024 <= 32)
PY
