#!/usr/bin/env bash
# Whole-download figures: the publisher serves a generated package (half slices of real executables,
# half random bytes) on 127.0.0.1 and the installer's own check and download clients fetch it natively,
# timed from the connect (the button press) to WM_USER + 108: first from a fresh publisher, which reads
# and compresses every file, then again, when it sends the compressed messages it kept. In the same run:
# the codec-bound limit (ParsePackets over the publisher's own download messages for the package), the
# CPU seconds each side spent, and the anchor, curl fetching the same files from a local nginx.
# Prints MB/s (10^6 bytes/s) and the ratios. Figures, never pass/fail.
# With a Windows build folder holding app/OrvaneSetup.exe, the same package is also installed under Wine
# through OrvaneSetup.exe (the e2e harness's prefix, Xvfb and publisher on the fixed check port, inside a
# private network namespace), timed by the install log from the button press to the last line before
# WM_USER + 108 closes the log, and from the press to the configuration file that the install's last step
# writes (Done, so with the XCOPY into the install folder). An install that stops moving is reported with
# the step it waited in, a screenshot and its logs (in $ORVANE_TEST_OUTPUT/bench-download, by default
# build/test-output/bench-download).
# Usage: scripts/bench-download.sh [native build folder, default build/native] [Windows build folder]
# ORVANE_BENCH_MIB sets the package size (default 256).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$here/build/native}
windows_build=${2:-}
mib=${ORVANE_BENCH_MIB:-256}
[ -f "$build/build.ninja" ] || cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j2 --target orvane-publisher download_client_bench >/dev/null
driver=$build/bench/download_client_bench

scratch=$(mktemp -d /tmp/orvane-bench-download.XXXXXX)
pids=()
cleanup() {
    local rc=$?
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null; done
    # The Wine servers of this run's own prefixes, should an interrupted stage have left one behind.
    for prefix in "$scratch/template/prefix" "$scratch/download/prefix"; do
        [ -d "$prefix" ] && WINEPREFIX=$prefix timeout 30 wineserver -k 2>/dev/null || true
    done
    rm -rf "$scratch"
    exit $rc
}
trap cleanup EXIT INT TERM

echo "generating a $mib MiB package in $scratch ..." >&2
pkg=$scratch/package
python3 - "$pkg" "$mib" <<'PY'
import json, os, sys
pkg, mib = sys.argv[1], int(sys.argv[2])
half, piece = mib * 2**20 // 2, 8 * 2**20
# Each module folder is laid over the download folder, so the two halves keep apart in subfolders.
os.makedirs(f"{pkg}/modules/binaries/bin")
os.makedirs(f"{pkg}/modules/random/data")
# Compressible half: the machine's own libraries and programs, cut into 8 MiB files.
sources = []
for folder in ("/usr/lib/x86_64-linux-gnu", "/usr/bin", "/usr/lib/gcc"):
    for root, _, names in os.walk(folder):
        for n in sorted(names):
            p = os.path.join(root, n)
            if os.path.isfile(p) and not os.path.islink(p) and os.path.getsize(p) > 65536:
                sources.append(p)
data, written, index = bytearray(), 0, 0
for p in sources:
    if written >= half:
        break
    data += open(p, "rb").read()
    while len(data) >= piece and written < half:
        open(f"{pkg}/modules/binaries/bin/part{index:03}.bin", "wb").write(data[:piece])
        del data[:piece]
        written, index = written + piece, index + 1
if written < half:
    sys.exit("not enough executable bytes on this machine")
for i in range(half // piece):
    open(f"{pkg}/modules/random/data/part{i:03}.bin", "wb").write(os.urandom(piece))
# The installer writes its configuration files into a config folder that the package must bring.
os.makedirs(f"{pkg}/modules/config/config")
open(f"{pkg}/modules/config/config/terminal.cfg", "wb").write(b"[terminal]\r\nbenchmark=1\r\n")
json.dump({"package": "000185", "version": {"part3": 12, "part4": 3},
           "users": [{"name": "tulip", "password": "tulip"}],
           "modules": [{"name": "binaries", "versionA": 1, "versionB": 0, "folder": "modules/binaries"},
                       {"name": "random", "versionA": 1, "versionB": 0, "folder": "modules/random"},
                       {"name": "config", "versionA": 1, "versionB": 0, "folder": "modules/config"}]},
          open(f"{pkg}/package.json", "w"))
PY
# The publisher keeps a file's messages only once the file has been left alone for 2 seconds.
sleep 2
file_bytes() { find "$1" -type f -printf '%s\n' | awk '{ n += $1 } END { print n + 0 }'; }
bytes=$(file_bytes "$pkg/modules")

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }
wait_for() { for _ in $(seq 200); do eval "$1" && return 0; sleep 0.05; done; echo "timed out: $1" >&2; return 1; }
rate() { python3 -c "print(f'{$1 / $2 / 1e6:.0f}')"; }

# The publisher, on free ports.
"$build/publisher/orvane-publisher" --package "$pkg" --check 127.0.0.1:0 --download 127.0.0.1:0 \
    --log "$scratch/publisher.log" >"$scratch/publisher.out" &
pids+=($!)
wait_for "grep -q '^ready' '$scratch/publisher.out'"
check_port=$(sed -n 's/^check 127.0.0.1:\([0-9]*\)$/\1/p' "$scratch/publisher.out")

# CPU seconds a process has used so far (utime + stime from /proc).
cpu_of() { awk -v hz="$(getconf CLK_TCK)" '{ printf "%.2f", ($14 + $15) / hz }' "/proc/$1/stat"; }
# One native fetch; sets f_s (seconds), f_peak and f_before (KiB), f_cpu and f_pub (CPU seconds of the
# installer and of the publisher in that time).
fetch() {
    local before after f_bytes
    before=$(cpu_of "${pids[0]}")
    read -r _ f_s _ f_bytes _ f_peak _ f_before _ f_cpu < <("$driver" fetch 127.0.0.1 "$check_port" "$scratch/native/v8.5")
    after=$(cpu_of "${pids[0]}")
    [ "$f_bytes" = "$bytes" ] || { echo "$1 download wrote $f_bytes bytes of $bytes" >&2; exit 1; }
    rm -rf "$scratch/native"
    f_pub=$(python3 -c "print(f'{$after - $before:.2f}')")
}
echo "native download ..." >&2
fetch native
native_s=$f_s peak_kib=$f_peak before_kib=$f_before native_cpu=$f_cpu pub_cpu=$f_pub
echo "native download again (the publisher sends what it kept) ..." >&2
fetch again
warm_s=$f_s warm_peak_kib=$f_peak warm_cpu=$f_cpu warm_pub_cpu=$f_pub

echo "codec-bound limit ..." >&2
read -r _ codec_bytes _ message_bytes _ codec_s _ bare_bytes _ bare_s < <("$driver" codec "$pkg")

# The anchor: nginx (Debian's package; fetched and unpacked here when it is not installed, so that no
# system service gets started) and one curl fetching every file over one connection.
nginx=$(command -v nginx || true)
if [ -z "$nginx" ]; then
    mkdir -p "$scratch/nginx-deb"
    (cd "$scratch/nginx-deb" && apt-get download nginx >/dev/null 2>&1 && dpkg-deb -x nginx_*.deb root)
    nginx=$scratch/nginx-deb/root/usr/sbin/nginx
fi
http_port=$(free_port)
mkdir -p "$scratch/nginx/logs" "$scratch/nginx/tmp"
cat >"$scratch/nginx/nginx.conf" <<CONF
daemon off;
master_process off;
worker_processes 1;
pid $scratch/nginx/nginx.pid;
error_log $scratch/nginx/logs/error.log;
events { worker_connections 64; }
http {
    access_log off;
    sendfile on;
    client_body_temp_path $scratch/nginx/tmp/body;
    proxy_temp_path $scratch/nginx/tmp/proxy;
    fastcgi_temp_path $scratch/nginx/tmp/fastcgi;
    uwsgi_temp_path $scratch/nginx/tmp/uwsgi;
    scgi_temp_path $scratch/nginx/tmp/scgi;
    server { listen 127.0.0.1:$http_port; root $pkg/modules; }
}
CONF
"$nginx" -p "$scratch/nginx" -c "$scratch/nginx/nginx.conf" 2>>"$scratch/nginx/logs/error.log" &
pids+=($!)
wait_for "curl -s -o /dev/null http://127.0.0.1:$http_port/"
echo "curl from nginx ..." >&2
args=()
while IFS= read -r rel; do
    mkdir -p "$scratch/curl/$(dirname "$rel")"
    args+=(-o "$scratch/curl/$rel" "http://127.0.0.1:$http_port/$rel")
done < <(cd "$pkg/modules" && find . -type f | sed 's|^\./||' | sort)
start=$(date +%s.%N)
curl -s --fail "${args[@]}"
curl_s=$(python3 -c "print($(date +%s.%N) - $start)")
curl_bytes=$(file_bytes "$scratch/curl")
[ "$curl_bytes" = "$bytes" ] || { echo "curl fetched $curl_bytes bytes of $bytes" >&2; exit 1; }

kill "${pids[-1]}" && wait "${pids[-1]}" 2>/dev/null || true # nginx is done
unset 'pids[-1]'
rm -rf "$scratch/curl"

wine_line="  (Wine: no Windows build given)"
setup_exe=${windows_build:+$windows_build/app/OrvaneSetup.exe}
if [ -n "$setup_exe" ] && [ -f "$setup_exe" ]; then
    # Where a stalled install leaves its screenshot and logs (the scratch folder goes at exit).
    wine_report=${ORVANE_TEST_OUTPUT:-$here/build/test-output}/bench-download
    # The prefix is booted once, under a time limit, and the case copies it, as the e2e suite does with its
    # template: one boot here never came back from its wait for the Wine server (a device host of the
    # prefix kept running), which without a limit stalls the whole benchmark.
    echo "preparing a Wine prefix ..." >&2
    if ! timeout -s INT 120 python3 - "$here" "$scratch" <<'PY' >&2; then
import os, sys
repo, scratch = sys.argv[1:3]
sys.path.insert(0, os.path.join(repo, "scripts", "e2e"))
import cases  # noqa: E402
cases.Suite(repo, None, None, None, None, scratch).make_template()
PY
        wine_line="  (Wine: the Wine prefix was not ready within 120 s; the install was not tried)"
        setup_exe=""
    fi
fi
if [ -n "$setup_exe" ] && [ -f "$setup_exe" ]; then
    echo "installing under Wine ..." >&2
    # The installer's check port is compiled in and other runs on this machine use it too: this stage gets
    # a network namespace of its own, with only a loopback, so neither side meets the other's installer.
    wine_out=$( (unshare -n -- bash -c 'ip link set lo up && exec python3 - "$@"' _ \
        "$here" "$setup_exe" "$build/publisher/orvane-publisher" "$pkg" "$scratch" "$wine_report" <<'PY'
import os, re, shutil, subprocess, sys, time
repo, setup, publisher, package, scratch, report = sys.argv[1:7]
sys.path.insert(0, os.path.join(repo, "scripts", "e2e"))
import cases, checks  # noqa: E402
from harness import Failure, InstallerWindow, wait_for  # noqa: E402

def tree_bytes(root):
    return sum(os.path.getsize(os.path.join(d, n)) for d, _, ns in os.walk(root) for n in ns
               if os.path.isfile(os.path.join(d, n)))

# Guards against a stalled install, never measurements: give up when nothing on disk or on screen has
# moved for STALL seconds, or after LIMIT seconds in all (the whole install of 256 MiB takes seconds).
package_bytes = tree_bytes(package)
STALL = 60
LIMIT = 120 + package_bytes / 2**20

def installer_kib(field):
    """The largest `field` (VmRSS or VmHWM) among this run's OrvaneSetup.exe processes."""
    best = 0
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            if b"OrvaneSetup.exe" not in open(f"/proc/{pid}/cmdline", "rb").read():
                continue
            if scratch.encode() not in open(f"/proc/{pid}/environ", "rb").read():
                continue
            for line in open(f"/proc/{pid}/status"):
                if line.startswith(field + ":"):
                    best = max(best, int(line.split()[1]))
        except OSError:
            pass
    return best


def log_lines(path):
    try:
        return [l.rstrip(b"\r") for l in open(path, "rb").read().split(b"\n") if l.strip()]
    except OSError:
        return []

def window_names(case):
    """Names of the visible windows on this run's display: a message box shows up here."""
    env = case.wine.env()
    found = subprocess.run(["xdotool", "search", "--onlyvisible", "--name", "."], env=env, text=True,
                           stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, timeout=30).stdout.split()
    names = []
    for window in found:
        name = subprocess.run(["xdotool", "getwindowname", window], env=env, stdout=subprocess.PIPE,
                              stderr=subprocess.DEVNULL, timeout=30).stdout.decode("utf-8", "replace").strip()
        names.append(name or "(no name)")
    return names

suite = cases.Suite(repo, setup, publisher, package, os.path.join(scratch, "wine-out"), scratch)
suite.template = os.path.join(scratch, "template", "prefix")
case = cases.Case(suite, "download")
try:
    case.serve()
    inst = case.open_installer("en_US.UTF-8")
    inst.move(*InstallerWindow.INSTALL_BUTTON)
    time.sleep(0.5)
    before = installer_kib("VmRSS")
    root = case.unix(checks.install_dir(case.wine))
    temp = root + "temp"
    pri = os.path.join(root, "config", "orvane.Default.pri")
    temp_log = os.path.join(temp, "log", "install.log")
    modules = len(checks.read_manifest(package)["modules"])
    peak = [0]
    moved = [None, time.monotonic()]

    def stage():
        """Where the install is, read from the log and the two folders."""
        lines = log_lines(temp_log)
        finished_modules = sum(1 for l in lines if l.split(b"]", 1)[-1].strip().startswith(temp.encode()))
        last = lines[-1].decode("gbk", "replace") if lines else "(none)"
        if os.path.exists(temp) and not os.path.exists(root):
            if finished_modules < modules:
                return (f"the download: {finished_modules} of {modules} modules finished, "
                        f"{tree_bytes(temp) / 2**20:.0f} of {package_bytes / 2**20:.0f} MiB written; "
                        f"last log line {last!r}")
            return "the version records or the removal of the old install folder, after the download"
        if os.path.exists(temp):
            return (f"the copy of the download folder into the install folder (XCOPY): "
                    f"{tree_bytes(root) / 2**20:.0f} of {tree_bytes(temp) / 2**20:.0f} MiB copied")
        if not os.path.exists(root):
            return "neither the download folder nor the install folder exists"
        if not os.path.isdir(os.path.dirname(pri)):
            return ("the end of the install: the install folder has no config folder, so "
                    "config\\orvane.Default.pri can never be written (the package must bring that folder)")
        return "the unpacking, the uninstall entry, the desktop link or the configuration files, after the copy"

    def finished():
        peak[0] = max(peak[0], installer_kib("VmHWM"))
        lines = log_lines(temp_log)
        if any(l.endswith(b"Faile") for l in lines):
            raise Failure("the installer logged a failure: " + b" | ".join(lines).decode("gbk", "replace"))
        if os.path.exists(pri) or inst.exited():
            return True
        now = time.monotonic()
        if now - moved[1] >= 1.0 or moved[0] is None:
            seen = (len(lines), tree_bytes(temp), tree_bytes(root))
            if seen != moved[0]:
                moved[0] = seen
                moved[1] = now
            elif now - moved[1] > STALL:
                raise Failure(f"nothing moved for {STALL} s")
        return False

    clicked = time.time()
    began = time.monotonic()
    inst.click(*InstallerWindow.INSTALL_BUTTON)
    moved[1] = time.monotonic()
    try:
        wait_for(finished, LIMIT, "the installation to finish", interval=0.2)
    except Failure as failure:
        os.makedirs(report, exist_ok=True)
        shot = inst.screenshot("stalled")
        shutil.copy(shot, report)
        for name, path in (("install.log", temp_log), ("install-folder.log", os.path.join(root, "log", "install.log")),
                           ("publisher.log", case.publisher.log_path)):
            if os.path.exists(path):
                shutil.copy(path, os.path.join(report, name))
        windows = window_names(case)
        print(f"Wine: {failure} after {time.monotonic() - began:.0f} s; it waited in {stage()}; "
              f"screen: {cases.screen(inst)}; visible windows: {windows}; "
              f"screenshot and logs in {report}", file=sys.stderr)
        sys.exit(1)
    done_s = os.stat(pri).st_mtime - clicked if os.path.exists(pri) else float("nan")
    log = open(os.path.join(root, "log", "install.log"), "rb").read()
    stamps = [int(h) * 3600 + int(m) * 60 + int(s) + int(ms) / 1000
              for h, m, s, ms in re.findall(rb"^\[(\d\d):(\d\d):(\d\d) (\d\d\d)\]", log, re.M)]
    seconds = (stamps[-1] - stamps[0]) % 86400
    print(f"RESULT seconds {seconds:.3f} peak_kib {peak[0]} before_kib {before} done_s {done_s:.2f}")
finally:
    case.close()
PY
    ) | sed -n 's/^RESULT //p') || wine_out=""
    if [ -n "$wine_out" ]; then
        read -r _ wine_s _ wine_peak _ wine_before _ wine_done <<<"$wine_out"
        wine_line=$(printf '  %-34s %6s MB/s  (%.2f s)  peak resident %s MiB (%s MiB before the press)\n  %-34s %6s s' \
            "Wine: OrvaneSetup.exe" "$(rate "$bytes" "$wine_s")" "$wine_s" "$((wine_peak / 1024))" \
            "$((wine_before / 1024))" "Wine: press to Done (with XCOPY)" "$wine_done")
    else
        wine_line="  (Wine: the install did not finish; see the messages above)"
    fi
fi

native=$(rate "$bytes" "$native_s")
warm=$(rate "$bytes" "$warm_s")
codec=$(rate "$codec_bytes" "$codec_s")
bare=$(rate "$bare_bytes" "$bare_s")
anchor=$(rate "$bytes" "$curl_s")
echo "Whole download of a $mib MiB package (half executables, half random bytes), 127.0.0.1"
printf '  %-34s %6s MB/s  (%.2f s; CPU: installer %.2f s, publisher %.2f s)\n' \
    "native: check + download clients" "$native" "$native_s" "$native_cpu" "$pub_cpu"
printf '  %-34s %6s MB/s  (%.2f s; CPU: installer %.2f s, publisher %.2f s)\n' \
    "native again: publisher kept files" "$warm" "$warm_s" "$warm_cpu" "$warm_pub_cpu"
printf '  %-34s %6s MB/s  (%.3f s for %s message bytes)\n' "codec-bound limit (ParsePackets)" "$codec" \
    "$codec_s" "$message_bytes"
printf '  %-34s %6s MB/s  (bare files in 128 KiB messages, for comparison)\n' "" "$bare"
printf '  %-34s %6s MB/s  (%.2f s)\n' "anchor: curl from nginx" "$anchor" "$curl_s"
echo "$wine_line"
python3 - "$native" "$warm" "$codec" "$anchor" "$peak_kib" "$before_kib" "$warm_peak_kib" <<'PY'
import sys
native, warm, codec, anchor, peak, before, warm_peak = (float(v) for v in sys.argv[1:])
print(f"  native / codec-bound limit: {native / codec:.0%} (again: {warm / codec:.0%})    "
      f"native / curl: {native / anchor:.2f} (again: {warm / anchor:.2f})")
print(f"  driver peak resident memory: {peak / 1024:.1f} MiB, again {warm_peak / 1024:.1f} MiB "
      f"({before / 1024:.1f} MiB before the download)")
PY
