#!/usr/bin/env bash
# Times kestrune-collect against the tools an operator would otherwise use,
# on the same data served by nginx on loopback, and prints a table of median
# wall times.  Not a test: it only reports.
#
#   bench/compare/run.sh                 # 3 rounds, full sizes
#   ROUNDS=5 bench/compare/run.sh
#   A_FILES=200 B_MIB=32 bench/compare/run.sh   # smaller data
#
# Cases:  A  A_FILES files x 8 KiB, fresh
#         B  B_FILES files x B_MIB MiB, fresh
#         C  A again with everything unchanged
# Tools:  kestrune-collect, wget -r -l1 -np -nd -N, rclone copy --size-only
#         (http remote), and for B curl per file.  Rounds alternate the tools.
# Also:   peak RSS of kestrune-collect, and its CPU seconds during a 10 s
#         page-load wait on a server that never answers.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
BUILD="${KESTRUNE_BUILD:-$ROOT/build}"
ROUNDS="${ROUNDS:-3}"
A_FILES="${A_FILES:-2000}"
A_BYTES="${A_BYTES:-8192}"
B_FILES="${B_FILES:-4}"
B_MIB="${B_MIB:-256}"
STALL_SECONDS="${STALL_SECONDS:-10}"

say() { echo "compare: $*" >&2; }

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

if [ ! -x "$BUILD/bin/kestrune-collect" ]; then
  say "building kestrune-collect in $BUILD"
  [ -f "$BUILD/build.ninja" ] || cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$BUILD" --target kestrune-collect >/dev/null
fi
KC="$BUILD/bin/kestrune-collect"

WORK="$(mktemp -d /tmp/kestrune-compare.XXXXXX)"
NGINX_PID=""
STALL_PID=""
cleanup() {
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

say "generating data in $WORK"
mkdir -p "$WORK/www/a" "$WORK/www/b" "$WORK/tmp" "$WORK/out"
python3 - "$WORK/www/a" "$A_FILES" "$A_BYTES" <<'PY'
import os, sys
folder, count, size = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
block = os.urandom(size + count)
for i in range(count):
    with open(os.path.join(folder, f"u_ex26{i:06d}.log"), "wb") as f:
        f.write(block[i:i + size])
PY
for i in $(seq 1 "$B_FILES"); do
  head -c "$((B_MIB * 1024 * 1024))" /dev/urandom > "$WORK/www/b/u_ex_big$i.log"
done
write_listing "$WORK/www/a" /a/
write_listing "$WORK/www/b" /b/

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
  server { listen 127.0.0.1:$PORT; root $WORK/www; }
}
CONF
"$NGINX" -p "$WORK" -e "$WORK/error.log" -c "$WORK/nginx.conf" &
NGINX_PID=$!
for _ in $(seq 1 100); do
  curl -fsS -o /dev/null "http://127.0.0.1:$PORT/a/" 2>/dev/null && break
  sleep 0.05
done
BASE="http://127.0.0.1:$PORT"

# ---------------------------------------------------------------- tools
# Each prints nothing and leaves the files in $2; $1 is the case's path.
tool_kestrune() { "$KC" --quiet --log "$WORK/kestrune.log" "$BASE$1" "$2"; }
tool_wget()     { (cd "$2" && wget -q -r -l1 -np -nd -N -e robots=off "$BASE$1"); }
tool_rclone()   { rclone copy --size-only --http-url "$BASE$1" :http: "$2" >/dev/null 2>&1; }
tool_curl()     {
  local f
  for f in "$WORK"/www"$1"u_ex*.log; do
    curl -sS -o "$2/$(basename "$f")" "$BASE$1$(basename "$f")"
  done
}

export KC WORK BASE
export -f tool_kestrune tool_wget tool_rclone tool_curl

# run CASE TOOL: times one run into $WORK/times/CASE.TOOL (wall, user+sys, max RSS KiB).
run() {
  local case="$1" tool="$2" path dest
  case "$case" in A|C) path=/a/ ;; B) path=/b/ ;; esac
  dest="$WORK/out/$tool${path//\//_}"
  if [ "$case" != C ]; then rm -rf "$dest"; fi
  mkdir -p "$dest"
  sync
  local status=0
  /usr/bin/time -f "%e %U %S %M" -o "$WORK/one.time" bash -c "tool_$tool '$path' '$dest'" || status=$?
  if [ "$status" -ne 0 ]; then
    say "$tool on case $case exited with $status"
  fi
  mkdir -p "$WORK/times"
  tail -n1 "$WORK/one.time" >> "$WORK/times/$case.$tool"
}

TOOLS=(kestrune wget rclone)
for round in $(seq 1 "$ROUNDS"); do
  # Alternate the order from round to round.
  order=("${TOOLS[@]}")
  shift_by=$(( (round - 1) % ${#TOOLS[@]} ))
  order=("${order[@]:$shift_by}" "${order[@]:0:$shift_by}")
  say "round $round/$ROUNDS: ${order[*]}"
  for t in "${order[@]}"; do run A "$t"; done
  for t in "${order[@]}"; do run C "$t"; done
  for t in "${order[@]}" curl; do run B "$t"; done
done

# Byte check of Kestrune's copies against the served files.
for c in a b; do
  if ! diff -rq --exclude=index.html "$WORK/www/$c" "$WORK/out/kestrune_${c}_" >/dev/null; then
    say "WARNING: kestrune's copy of /$c/ differs from the served files"
  fi
done

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
/usr/bin/time -f "%e %U %S %M" -o "$WORK/stall.time" \
  "$KC" --quiet --timeout "$STALL_SECONDS" --log "$WORK/stall.log" "http://127.0.0.1:$STALL_PORT/logs/" "$WORK/out/stall" || true

# ---------------------------------------------------------------- report
python3 - "$WORK" "$ROUNDS" "$A_FILES" "$A_BYTES" "$B_FILES" "$B_MIB" "$STALL_SECONDS" <<'PY'
import os, statistics, sys
work, rounds = sys.argv[1], int(sys.argv[2])
a_files, a_bytes, b_files, b_mib, stall_s = sys.argv[3:8]
def load(case, tool):
    p = os.path.join(work, "times", f"{case}.{tool}")
    if not os.path.exists(p): return None
    rows = [list(map(float, l.split())) for l in open(p) if l.strip()]
    return rows
def med(case, tool, col=0):
    rows = load(case, tool)
    return statistics.median(r[col] for r in rows) if rows else None
cases = [("A", f"{a_files} x {int(a_bytes)//1024} KiB, fresh"),
         ("B", f"{b_files} x {b_mib} MiB, fresh"),
         ("C", f"A again, unchanged")]
tools = ["kestrune", "wget", "rclone", "curl"]
fmt = lambda v: "-" if v is None else (f"{v:.3f}" if v < 1 else f"{v:.2f}")
print(f"\nMedian wall time in seconds over {rounds} rounds (loopback nginx)\n")
print("| case | kestrune-collect | wget | rclone | curl | K ÷ wget | K ÷ rclone | K ÷ curl |")
print("|---|---:|---:|---:|---:|---:|---:|---:|")
for case, label in cases:
    m = {t: med(case, t) for t in tools}
    k = m["kestrune"]
    ratio = lambda t: "-" if (k is None or m[t] is None) else ("inf" if m[t] == 0 else f"{k / m[t]:.2f}")
    print(f"| {case}: {label} | {fmt(k)} | {fmt(m['wget'])} | {fmt(m['rclone'])} | {fmt(m['curl'])} "
          f"| {ratio('wget')} | {ratio('rclone')} | {ratio('curl')} |")
peak = max((r[3] for c in "ABC" for r in (load(c, "kestrune") or [])), default=0)
print(f"\nPeak RSS of kestrune-collect (any run): {peak/1024:.1f} MiB")
st = [list(map(float, l.split())) for l in open(os.path.join(work, "stall.time")) if l.strip() and l[0].isdigit()][-1]
print(f"CPU during a {stall_s} s page-load wait on a stalled server: {st[1]+st[2]:.2f} s user+sys (wall {st[0]:.2f} s)")
b_k, b_c = med("B", "kestrune"), med("B", "curl")
print("\nGoals:")
def goal(text, ok):
    print(f"  {'met    ' if ok else 'NOT met'}  {text}")
if med("A","kestrune") and med("A","wget"): goal("A <= 1.0x wget", med("A","kestrune") <= med("A","wget"))
if b_k and med("B","wget"): goal("B <= 1.0x wget", b_k <= med("B","wget"))
if b_k and b_c: goal(f"B throughput >= 0.8x curl ({b_c/b_k:.2f}x)", b_c / b_k >= 0.8)
if med("C","kestrune") and med("C","rclone"): goal("C <= 1.0x rclone", med("C","kestrune") <= med("C","rclone"))
goal("peak RSS <= 64 MiB", peak / 1024 <= 64)
PY
