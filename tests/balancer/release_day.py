#!/usr/bin/env python3
"""Release day behind the balancer: tests that installs through HAProxy survive a check service and a
download service killed mid-load and a new version rolled out by the deployer's recipe, each install
complete, verified and costing at most 1.2 times the package's bytes.

The layout is deploy/haproxy/haproxy.cfg as a deployer copies it, its documentation addresses swapped
for loopback ones in a network namespace of the test's own: the balancer on 127.0.0.1 (connecting out
from 127.0.0.10), check services on 127.0.0.2 and .3, download services on .4, .5 and .6, every one a
separate publisher process. orvane-load drives the installs. Prints its figures; exits 77 (skipped)
where no network namespace can be made."""

import argparse
import json
import os
import random
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import urllib.request

BALANCER, BALANCER_SOURCE = "127.0.0.1", "127.0.0.10"
CHECKS = {"check1": "127.0.0.2", "check2": "127.0.0.3"}
DOWNLOADS = {"download1": "127.0.0.4", "download2": "127.0.0.5", "download3": "127.0.0.6"}
# The configuration's documentation addresses and where each stands in the test.
SWAP = {"203.0.113.10": BALANCER, "203.0.113.21": CHECKS["check1"], "203.0.113.22": CHECKS["check2"],
        "203.0.113.31": DOWNLOADS["download1"], "203.0.113.32": DOWNLOADS["download2"],
        "203.0.113.33": DOWNLOADS["download3"]}
METRICS_PORT = 9100
PACKAGE_NO = "000185"
ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
KEY_DIR = os.path.join(ROOT, "examples", "sample-signing-key")


class Failure(Exception):
    pass


def expect(condition, message):
    if not condition:
        raise Failure(message)


def in_own_namespace():
    """Re-runs this script in a network namespace of its own (all of 127/8 on lo), or says it cannot."""
    if os.environ.get("ORVANE_RELEASE_DAY_NS") == "1":
        return None
    env = dict(os.environ, ORVANE_RELEASE_DAY_NS="1")
    if subprocess.run(["unshare", "-n", "true"], stderr=subprocess.DEVNULL).returncode != 0:
        print("release day: no network namespace here (unshare -n needs root): skipped")
        return 77
    command = ["unshare", "-n", "--", "sh", "-c", 'ip link set lo up && exec "$@"', "sh", sys.executable,
               os.path.abspath(__file__)] + sys.argv[1:]
    return subprocess.run(command, env=env).returncode


def write_package(folder, version_b, mib, seed):
    """A signed package of `mib` MiB in 16 modules, one file each, half random and half repeated text,
    as a terminal's files compress; `version_b` changes the version and one module's bytes."""
    modules = []
    rng = random.Random(seed)
    size = mib * 1024 * 1024 // 16
    for i in range(16):
        name = f"part{i:02d}"
        os.makedirs(os.path.join(folder, "modules", name))
        # The last module changes with the version; the rest are the same bytes in both.
        data = random.Random(seed * 100 + i if i == 15 else i).randbytes(size // 2)
        data += (f"{name} line {rng.randrange(1000)}\n" * (size // 16))[: size - len(data)].encode()
        with open(os.path.join(folder, "modules", name, f"{name}.bin"), "wb") as f:
            f.write(data)
        modules.append({"name": name, "versionA": 1, "versionB": version_b if i == 15 else 0, "state": "U",
                        "folder": f"modules/{name}"})
    with open(os.path.join(KEY_DIR, "sample-signing-key.pub")) as f:
        public_key = f.read().split()[-1]
    manifest = {"package": PACKAGE_NO, "version": {"part3": 12, "part4": version_b},
                "users": [{"name": "tulip", "password": "tulip"}], "modules": modules,
                "signing": {"publicKeys": [public_key]}}
    with open(os.path.join(folder, "package.json"), "w") as f:
        json.dump(manifest, f, indent=1)


def sign(publisher, folder):
    subprocess.run([publisher, "--write-manifest", "--package", folder], check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["minisign", "-S", "-s", os.path.join(KEY_DIR, "sample-signing-key.secret"), "-m",
                    os.path.join(folder, "modules", "part00", "orvane.manifest")], check=True,
                   stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)


def wait_port(address, port, seconds=30):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        try:
            socket.create_connection((address, port), timeout=1).close()
            return
        except OSError:
            time.sleep(0.1)
    raise Failure(f"nothing listens on {address}:{port} after {seconds} s")


def metrics(address):
    """The publisher's samples by name and labels (`orvane_sent_bytes_total{kind="wire"}`); {} when it
    does not answer."""
    try:
        text = urllib.request.urlopen(f"http://{address}:{METRICS_PORT}/metrics", timeout=2).read().decode()
    except OSError:
        return {}
    values = {}
    for line in text.splitlines():
        m = re.match(r"^([a-z_]+(?:\{[^}]*\})?) ([0-9.e+]+)$", line)
        if m:
            values[m.group(1)] = float(m.group(2))
    return values


def running_downloads(address):
    m = metrics(address)
    return m.get("orvane_downloads_started_total", 0) - m.get("orvane_downloads_completed_total", 0) - \
        m.get("orvane_downloads_failed_total", 0)


class Layout:
    """The five publishers and the balancer, each a process of its own, stopped by PID."""

    # One serving thread each: six processes share the test's two cores.
    options = ["--threads", "1", "--prepare-threads", "0"]

    def __init__(self, args, scratch):
        self.args, self.scratch, self.processes, self.logs, self.runtime = args, scratch, {}, {}, {}

    def start_publisher(self, name, address, role=None):
        log = os.path.join(self.args.output, f"{name}.log")
        self.logs[name] = log
        common = ["--package", os.path.join(self.scratch, "package"), "--log", log,
                  "--cache-dir", os.path.join(self.scratch, f"{name}.cache"),
                  "--metrics", f"{address}:{METRICS_PORT}", "--proxy-protocol-from", BALANCER_SOURCE] + self.options
        if role is None and name.startswith("check"):
            role = ["--check", f"{address}:31711", "--advertise", f"{BALANCER}:31712", "--probe-seconds", "0"]
        elif role is None:
            role = ["--no-check", "--download", f"{address}:31712"]
        # As systemd gives it: the folder where a reload's outcome waits for `--reload`.
        self.runtime[name] = os.path.join(self.scratch, f"{name}.run")
        os.makedirs(self.runtime[name], exist_ok=True)
        self.processes[name] = subprocess.Popen([self.args.publisher] + common + role, stdout=subprocess.DEVNULL,
                                                stderr=subprocess.DEVNULL,
                                                env=dict(os.environ, RUNTIME_DIRECTORY=self.runtime[name]))
        wait_port(address, 31711 if name.startswith("check") else 31712)

    def start_balancer(self):
        with open(self.args.config) as f:
            config = f.read()
        for documented, here in SWAP.items():
            config = config.replace(documented, here)
        config = config.replace("/run/haproxy/", self.scratch + "/").replace("log /dev/log local0",
                                                                              "log stdout format raw local0")
        # Out from an address of its own, so that the publishers see the balancer apart from the client.
        config = config.replace("    timeout connect", f"    source {BALANCER_SOURCE}\n    timeout connect", 1)
        path = os.path.join(self.args.output, "haproxy.cfg")
        with open(path, "w") as f:
            f.write(config)
        subprocess.run(["haproxy", "-c", "-q", "-f", path], check=True)
        self.logs["haproxy"] = os.path.join(self.args.output, "haproxy.log")
        self.processes["haproxy"] = subprocess.Popen(["haproxy", "-db", "-f", path],
                                                     stdout=open(self.logs["haproxy"], "w"), stderr=subprocess.STDOUT)
        wait_port(BALANCER, 31711)
        wait_port(BALANCER, 31712)

    def kill(self, name):
        self.processes[name].send_signal(signal.SIGKILL)
        self.processes[name].wait()

    def reload(self, name):
        """The deployer's recipe for one machine: what `systemctl reload orvane-publisher` runs."""
        result = subprocess.run([self.args.publisher, "--reload", str(self.processes[name].pid)],
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, timeout=120,
                                env=dict(os.environ, RUNTIME_DIRECTORY=self.runtime[name]))
        expect(result.returncode == 0, f"reload of {name} failed: {result.stdout}")

    def stop(self):
        for process in self.processes.values():
            if process.poll() is None:
                process.send_signal(signal.SIGTERM)
        for process in self.processes.values():
            try:
                process.wait(timeout=20)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--publisher", required=True)
    parser.add_argument("--load", required=True)
    parser.add_argument("--config", required=True, help="deploy/haproxy/haproxy.cfg")
    parser.add_argument("--output", required=True)
    parser.add_argument("--installs", type=int, default=200)
    parser.add_argument("--concurrency", type=int, default=20)
    parser.add_argument("--package-mib", type=int, default=16)
    args = parser.parse_args()
    status = in_own_namespace()
    if status is not None:
        return status
    os.makedirs(args.output, exist_ok=True)
    scratch = tempfile.mkdtemp(prefix="release-day-")
    layout = Layout(args, scratch)
    try:
        run(args, scratch, layout)
    except Failure as e:
        print(f"release day: FAILED: {e}", flush=True)
        return 1
    finally:
        layout.stop()
        shutil.rmtree(scratch, ignore_errors=True)
    print("release day: passed", flush=True)
    return 0


def run(args, scratch, layout):
    releases = os.path.join(scratch, "releases")
    for version in (3, 4):
        folder = os.path.join(releases, f"12.{version}")
        write_package(folder, version, args.package_mib, version)
        sign(args.publisher, folder)
    os.symlink("releases/12.3", os.path.join(scratch, "package"))
    for name, address in {**CHECKS, **DOWNLOADS}.items():
        layout.start_publisher(name, address)
    layout.start_balancer()

    began = time.monotonic()
    result_path = os.path.join(args.output, "load.json")
    load = subprocess.Popen([args.load, "--service", f"{BALANCER}:31711", "--package-no", PACKAGE_NO, "--installs",
                             str(args.installs), "--concurrency", str(args.concurrency), "--public-key",
                             os.path.join(KEY_DIR, "sample-signing-key.pub"), "--json"],
                            stdout=open(result_path, "w"), stderr=open(os.path.join(args.output, "load.err"), "w"))
    # Installs finished so far, counted by the download services; a killed one keeps its last count.
    finished = {name: 0 for name in DOWNLOADS}

    def done():
        for name, address in DOWNLOADS.items():
            if layout.processes[name].poll() is None:
                finished[name] = max(finished[name], metrics(address).get("orvane_downloads_completed_total", 0))
        return sum(finished.values())

    events = []
    deadline = began + 600
    stage = 0
    while load.poll() is None:
        expect(time.monotonic() < deadline, "the load did not end within 10 minutes")
        count = done()
        if stage == 0 and count >= args.installs / 3:
            # In the middle of downloads: wait (briefly) until download1 is sending to two installers.
            until = time.monotonic() + 5
            while running_downloads(DOWNLOADS["download1"]) < 2 and time.monotonic() < until:
                time.sleep(0.02)
            cut = running_downloads(DOWNLOADS["download1"])
            layout.kill("check1")
            layout.kill("download1")
            events.append(f"killed check1 and download1 with SIGKILL after {count:.0f} installs "
                          f"({time.monotonic() - began:.1f} s), {cut:.0f} downloads running on download1")
            stage = 1
        elif stage == 1 and count >= args.installs * 2 / 3:
            rollout = time.monotonic()
            # The recipe: the new version's folder beside the old, the link switched in one step, then
            # every download machine reloaded, then the check machines.
            os.symlink("releases/12.4", os.path.join(scratch, "package.new"))
            os.replace(os.path.join(scratch, "package.new"), os.path.join(scratch, "package"))
            for name in ("download2", "download3", "check2"):
                layout.reload(name)
            events.append(f"rolled 12.4 out after {count:.0f} installs ({time.monotonic() - began:.1f} s), "
                          f"the reloads took {time.monotonic() - rollout:.1f} s")
            stage = 2
        time.sleep(0.2)
    elapsed = time.monotonic() - began
    for line in events:
        print("release day: " + line, flush=True)
    expect(stage == 2, f"the load ended before the rollout (stage {stage})")

    with open(result_path) as f:
        text = f.read()
    try:
        result = json.loads(text)
    except ValueError:
        raise Failure(f"orvane-load wrote no JSON (status {load.returncode}): {text[:400]}")
    print("release day: " + json.dumps(result), flush=True)
    expect(load.returncode == 0, f"orvane-load exited {load.returncode}")
    expect(result["completed"] == args.installs, f"{result['completed']} of {args.installs} installs completed")
    expect(result["failed"] == 0, f"{result['failed']} installs failed: {result.get('failed_by_cause')}")
    ratio = result["bytes"]["ratio_max"]
    expect(ratio <= 1.2, f"an install received {ratio:.3f} times the package's bytes")

    # What the survivors say: the reload to 12.4, and the installers' own address from the header.
    for name in ("check2", "download2", "download3"):
        with open(layout.logs[name], errors="replace") as f:
            log = f.read()
        reloaded = [line for line in log.splitlines() if "SIGHUP: reloaded" in line]
        expect(any("version 12.4" in line for line in reloaded), f"{name}'s log shows no reload to 12.4")
        print(f"release day: {name}: {reloaded[-1]}", flush=True)
        expect(re.search(rf" {re.escape(BALANCER)}:\d+ via {re.escape(BALANCER_SOURCE)}:", log),
               f"{name}'s log does not name the installers' address from the balancer's header")
    served = {name: metrics(DOWNLOADS[name]) for name in ("download2", "download3")}
    for name, values in served.items():
        expect(values.get('orvane_reloads_total{result="done"}', 0) == 1, f"{name}'s metrics count no reload")
        expect(values.get("orvane_downloads_completed_total", 0) > 0, f"{name} completed no download")
    with open(layout.logs["haproxy"], errors="replace") as f:
        balancer_log = f.read()
    for server in ("check1", "download1"):
        down = re.search(rf"^.*{server} is DOWN.*$", balancer_log, re.M)
        expect(down, f"the balancer's log shows no {server} down")
        print(f"release day: haproxy: {down.group(0).strip()}", flush=True)

    total = sum(f.get('orvane_sent_bytes_total{kind="wire"}', 0) for f in served.values())
    print(f"release day: {args.installs} installs of a {args.package_mib} MiB signed package, "
          f"{args.concurrency} at a time, in {elapsed:.1f} s ({args.installs / elapsed * 60:.0f} installs/min); "
          f"install time p50 {result['install_seconds']['p50']:.2f} s, p99 {result['install_seconds']['p99']:.2f} s; "
          f"retries {result['retries']['total']}; bytes per install max {ratio:.3f}x, "
          f"mean {result['bytes']['ratio_mean']:.3f}x; the two surviving download services sent {total / 1e6:.0f} MB on the wire",
          flush=True)


if __name__ == "__main__":
    sys.exit(main())
