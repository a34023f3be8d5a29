#!/usr/bin/env bash
# kelshot against the established page renderers, wkhtmltoimage and cutycapt (the same WebKit
# generation, one process each), on the same local pages served on 127.0.0.1, in one hyperfine
# run; then the peak memory of each renderer's whole process tree. Prints a table; never fails
# on a figure. Not part of the tests.
#
#   bench/peers.sh [BUILD_DIR] [--runs N] [--size WxH]
#
# Needs hyperfine, wkhtmltoimage (package wkhtmltopdf), cutycapt and python3 (scripts/setup.sh).
# cutycapt runs with QT_QPA_PLATFORM=offscreen, so no X server is needed.
set -uo pipefail

BUILD=build
RUNS=10
SIZE=1024x768
while [ $# -gt 0 ]; do
    case "$1" in
    --runs) RUNS="$2"; shift 2 ;;
    --size) SIZE="$2"; shift 2 ;;
    -h | --help) sed -n '2,10p' "$0"; exit 0 ;;
    *) BUILD="$1"; shift ;;
    esac
done
WIDTH=${SIZE%x*}
HEIGHT=${SIZE#*x}
KELSHOT="$BUILD/bin/kelshot"
for tool in hyperfine wkhtmltoimage cutycapt python3; do
    command -v "$tool" >/dev/null || { echo "peers.sh: $tool is missing (scripts/setup.sh)"; exit 1; }
done
[ -x "$KELSHOT" ] || { echo "peers.sh: no $KELSHOT (build first, or give the build folder)"; exit 1; }
KELSHOT=$(cd "$(dirname "$KELSHOT")" && pwd)/kelshot

WORK=$(mktemp -d /tmp/kel-peers-XXXXXX)
SERVER_PID=""
cleanup() {
    [ -n "$SERVER_PID" ] && kill "$SERVER_PID" 2>/dev/null
    rm -rf "$WORK"
}
trap cleanup EXIT

# Own home and runtime folders for every renderer.
mkdir -p "$WORK/pages" "$WORK/home" "$WORK/runtime" "$WORK/out"
chmod 700 "$WORK/runtime"
export HOME="$WORK/home" XDG_RUNTIME_DIR="$WORK/runtime" XDG_CACHE_HOME="$WORK/home/.cache"
export XDG_CONFIG_HOME="$WORK/home/.config" XDG_DATA_HOME="$WORK/home/.local/share"
# kelshot makes segments of its own per run (named after its process id).
unset KEL_SEGMENT_SUFFIX
export QT_QPA_PLATFORM=offscreen

cat >"$WORK/pages/page.html" <<'EOF'
<html><head><title>Peers</title><style>
body { margin: 0; font: 16px sans-serif; background: #f4f1ea; color: #222 }
header { background: #246; color: #fff; padding: 20px 30px } h1 { margin: 0; font-size: 32px }
main { display: flex; gap: 20px; padding: 20px 30px }
section { flex: 1; background: #fff; border-radius: 8px; padding: 16px; box-shadow: 0 2px 6px #0003 }
.bar { height: 14px; margin: 8px 0; background: linear-gradient(90deg, #c84, #48c); border-radius: 7px }
table { border-collapse: collapse; width: 100% } td { border-bottom: 1px solid #ddd; padding: 4px }
</style></head><body>
<header><h1>Renderer comparison</h1><p>A served page with text, boxes, gradients and a table.</p></header>
<main>
<section><h2>Text</h2><p>Lorem ipsum dolor sit amet, consectetur adipiscing elit, sed do eiusmod
tempor incididunt ut labore et dolore magna aliqua. Ut enim ad minim veniam, quis nostrud
exercitation ullamco laboris nisi ut aliquip ex ea commodo consequat.</p>
<div class=bar style="width:90%"></div><div class=bar style="width:60%"></div>
<div class=bar style="width:75%"></div></section>
<section><h2>Table</h2><table>
<tr><td>one</td><td>1</td></tr><tr><td>two</td><td>2</td></tr><tr><td>three</td><td>3</td></tr>
<tr><td>four</td><td>4</td></tr><tr><td>five</td><td>5</td></tr></table>
<canvas id=c width=200 height=80></canvas>
<script>var g=document.getElementById('c').getContext('2d');g.fillStyle='#c84';
for(var i=0;i<10;i++)g.fillRect(i*20,80-i*8,16,i*8);</script></section>
</main></body></html>
EOF

# An HTTP server on an ephemeral port of 127.0.0.1; it prints the port once it listens.
python3 -u -c '
import http.server, os, sys
os.chdir(sys.argv[1])
class Quiet(http.server.SimpleHTTPRequestHandler):
    def log_message(self, *args): pass
server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Quiet)
print(server.server_address[1], flush=True)
server.serve_forever()
' "$WORK/pages" >"$WORK/port" 2>/dev/null &
SERVER_PID=$!
for _ in $(seq 100); do
    [ -s "$WORK/port" ] && break
    sleep 0.05
done
PORT=$(head -1 "$WORK/port")
[ -n "$PORT" ] || { echo "peers.sh: the HTTP server did not start"; exit 1; }
URL="http://127.0.0.1:$PORT/page.html"

CMD_KEL="$KELSHOT --quiet --size ${WIDTH}x${HEIGHT} --out $WORK/out/kel.png $URL"
CMD_WK="wkhtmltoimage --quiet --javascript-delay 0 --width $WIDTH --height $HEIGHT $URL $WORK/out/wk.png"
CMD_CUTY="cutycapt --min-width=$WIDTH --min-height=$HEIGHT --url=$URL --out=$WORK/out/cuty.png"

echo "peers.sh: $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2-)"
echo "peers.sh: load average $(cut -d' ' -f1-3 /proc/loadavg), page $URL, ${WIDTH}x${HEIGHT}"
hyperfine -N --style basic --warmup 2 --runs "$RUNS" --export-json "$WORK/times.json" \
    -n kelshot "$CMD_KEL" -n wkhtmltoimage "$CMD_WK" -n cutycapt "$CMD_CUTY" 2>&1 |
    grep -v 'QStandardPaths' || true

# Peak memory of a renderer and everything it starts: the command runs in a session of its
# own, and every process of that session (also one that outlives its parent) is summed every
# few milliseconds until the last one has ended.
peak_memory() {
    python3 - "$@" <<'EOF'
import os, subprocess, sys, time
page = os.sysconf("SC_PAGE_SIZE")
child = subprocess.Popen(sys.argv[1:], start_new_session=True,
                         stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
sid, peak, started = child.pid, 0, time.time()
while time.time() - started < 60:
    total, alive = 0, 0
    for name in os.listdir("/proc"):
        if not name.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % name) as f:
                fields = f.read().rsplit(")", 1)[1].split()
            if int(fields[3]) != sid or fields[0] == "Z":
                continue
            with open("/proc/%s/statm" % name) as f:
                total += int(f.read().split()[1]) * page
            alive += 1
        except (OSError, IndexError, ValueError):
            pass
    peak = max(peak, total)
    child.poll()
    if alive == 0 and child.returncode is not None:
        break
    time.sleep(0.005)
print("%.1f" % (peak / 1048576.0))
EOF
}

echo
printf '%-14s %10s %10s %10s %16s\n' renderer "mean ms" "median ms" "stddev" "peak RSS MiB"
for name in kelshot wkhtmltoimage cutycapt; do
    case $name in
    kelshot) cmd=$CMD_KEL ;; wkhtmltoimage) cmd=$CMD_WK ;; cutycapt) cmd=$CMD_CUTY ;;
    esac
    # shellcheck disable=SC2086
    mem=$(peak_memory $cmd)
    python3 - "$WORK/times.json" "$name" "$mem" <<'EOF'
import json, sys
runs = {r["command"]: r for r in json.load(open(sys.argv[1]))["results"]}
r = runs.get(sys.argv[2])
if r:
    print("%-14s %10.1f %10.1f %10.1f %16s" % (sys.argv[2], r["mean"] * 1000, r["median"] * 1000,
          (r.get("stddev") or 0) * 1000, sys.argv[3]))
else:
    print("%-14s %10s %10s %10s %16s" % (sys.argv[2], "-", "-", "-", sys.argv[3]))
EOF
done
python3 - "$WORK/times.json" <<'EOF'
import json, sys
runs = {r["command"]: r for r in json.load(open(sys.argv[1]))["results"]}
if "kelshot" in runs and "wkhtmltoimage" in runs:
    print("\nkelshot / wkhtmltoimage (median): %.2fx" %
          (runs["kelshot"]["median"] / runs["wkhtmltoimage"]["median"]))
EOF
for png in kel wk cuty; do
    [ -s "$WORK/out/$png.png" ] && printf '%s.png: %s bytes  ' "$png" "$(stat -c %s "$WORK/out/$png.png")"
done
echo
