#!/usr/bin/env bash
# Publisher throughput on loopback: 1 and 20 clients each fetching a 256 MiB package (half compressible
# binaries, half random bytes) at once, the publisher's peak memory, and in the same run the anchor:
# curl fetching the same files from a private nginx (Debian's package, unpacked into the build folder
# when it is not installed; nothing is started as a service). Prints figures; never fails on speed.
# Usage: bench-publisher.sh [NATIVE_BUILD_DIR]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/native}
work=$root/build/bench-publisher
mkdir -p "$work"
cmake --build "$build" --target orvane-publisher publisher_download_bench >/dev/null

pkg=$work/package
if [ ! -f "$pkg/package.json" ]; then
    echo "bench: writing the 256 MiB package"
    mkdir -p "$pkg/modules/bin" "$pkg/modules/rnd"
    for i in $(seq 1 8); do
        # Compressible: real executables, concatenated, 16 MiB per file.
        find /usr/bin /usr/lib/x86_64-linux-gnu -maxdepth 1 -type f -size +100k 2>/dev/null | sort | tail -n +$((i * 7)) |
            xargs cat 2>/dev/null | head -c $((16 << 20)) >"$pkg/modules/bin/part$i.bin" || true
        head -c $((16 << 20)) /dev/urandom >"$pkg/modules/rnd/part$i.bin"
    done
    cat >"$pkg/package.json" <<'JSON'
{ "package": "000185", "version": {"part3": 1, "part4": 0},
  "users": [{"name": "tulip", "password": "tulip"}],
  "modules": [{"name": "bin", "versionA": 1, "versionB": 0, "folder": "modules/bin"},
              {"name": "rnd", "versionA": 1, "versionB": 0, "folder": "modules/rnd"}] }
JSON
fi
bytes=$(du -cb "$pkg"/modules/*/*.bin | tail -1 | cut -f1)
echo "bench: package of $bytes bytes"

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }

# --- the publisher ---
"$build/publisher/orvane-publisher" --package "$pkg" --check 127.0.0.1:0 --download 127.0.0.1:0 \
    --log "$work/publisher.log" >"$work/ports" &
pub=$!
for _ in $(seq 100); do grep -q '^ready' "$work/ports" && break; sleep 0.1; done
check=$(sed -n 's/^check 127.0.0.1://p' "$work/ports")
download=$(sed -n 's/^download 127.0.0.1://p' "$work/ports")
ORVANE_BENCH_CHECK_PORT=$check ORVANE_BENCH_DOWNLOAD_PORT=$download \
    "$build/bench/publisher_download_bench" --benchmark_format=json --benchmark_out="$work/publisher.json" \
    --benchmark_out_format=json >/dev/null
peak=$(awk '/VmHWM/ {print $2}' "/proc/$pub/status")
kill -TERM "$pub"
wait "$pub" || true

# --- the anchor: nginx and curl ---
nginx_bin=$(command -v nginx || true)
if [ -z "$nginx_bin" ]; then
    nginx_bin=$work/nginx/usr/sbin/nginx
    if [ ! -x "$nginx_bin" ]; then
        (cd "$work" && apt-get download nginx >/dev/null 2>&1 && dpkg-deb -x nginx_*.deb "$work/nginx")
    fi
fi
port=$(free_port)
mkdir -p "$work/nginx-run"
cat >"$work/nginx.conf" <<CONF
daemon off;
worker_processes auto;
pid $work/nginx-run/nginx.pid;
error_log $work/nginx-run/error.log;
events { worker_connections 1024; }
http {
    access_log off;
    sendfile on;
    client_body_temp_path $work/nginx-run/body;
    proxy_temp_path $work/nginx-run/proxy;
    fastcgi_temp_path $work/nginx-run/fastcgi;
    uwsgi_temp_path $work/nginx-run/uwsgi;
    scgi_temp_path $work/nginx-run/scgi;
    types { application/octet-stream bin; }
    server { listen 127.0.0.1:$port; root $pkg/modules; }
}
CONF
"$nginx_bin" -p "$work/nginx-run" -c "$work/nginx.conf" &
ngx=$!
for _ in $(seq 50); do curl -s -o /dev/null "http://127.0.0.1:$port/" && break; sleep 0.1; done
: >"$work/curl.cfg"
for f in "$pkg"/modules/*/*.bin; do
    printf 'url = "http://127.0.0.1:%s/%s"\noutput = "/dev/null"\n' "$port" "${f#$pkg/modules/}" >>"$work/curl.cfg"
done
anchor() {
    local clients=$1 start end
    start=$(date +%s.%N)
    for _ in $(seq "$clients"); do curl -s -K "$work/curl.cfg" & done
    wait # runs in a command substitution: only its own curl children
    end=$(date +%s.%N)
    python3 -c "print(f'{$bytes * $clients / 1e6 / ($end - $start):.1f}')"
}
a1=$(anchor 1)
a20=$(anchor 20)
kill -TERM "$ngx"
wait "$ngx" || true

python3 - "$work/publisher.json" "$a1" "$a20" "$peak" <<'PY'
import json, sys
runs = json.load(open(sys.argv[1]))["benchmarks"]
anchor = {1: float(sys.argv[2]), 20: float(sys.argv[3])}
for r in runs:
    clients = int(r["clients"])
    mbs = r["bytes_per_second"] / 1e6
    print(f"publisher {clients:2d} client(s): {mbs:8.1f} MB/s   nginx+curl: {anchor[clients]:8.1f} MB/s   ratio {mbs / anchor[clients]:.2f}")
print(f"publisher peak memory (VmHWM): {int(sys.argv[4]) / 1024:.1f} MiB")
PY
