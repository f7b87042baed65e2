#!/usr/bin/env python3
"""Figures for a deployer sizing the service: installs per minute of one package through the balancer
(HAProxy, two check services, three download services, as tests/balancer/release_day.py lays them out)
against straight to one publisher, with orvane-load, and the publishers' CPU seconds per GB they sent
(the balancer's own CPU beside). Loopback, in a network namespace of its own; nothing is killed or
rolled out. Figures, not a test.

Usage: balancer-figures.py BUILD_DIR [--package-mib 64] [--installs 60] [--concurrency 10]"""

import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "balancer"))
import release_day as rd  # noqa: E402  (the layout and the package are the test's)

TICKS = os.sysconf("SC_CLK_TCK")


def cpu_seconds(pid):
    """User and system time of a running process."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICKS


def load(args, service, output):
    began = time.monotonic()
    result = subprocess.run([args.load, "--service", service, "--package-no", rd.PACKAGE_NO, "--installs",
                             str(args.installs), "--concurrency", str(args.concurrency), "--json"],
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    elapsed = time.monotonic() - began
    with open(output, "w") as f:
        f.write(result.stdout)
    summary = json.loads(result.stdout)
    if result.returncode != 0:
        raise rd.Failure(f"orvane-load exited {result.returncode}: {summary.get('failed_by_cause')}")
    return summary, elapsed


def measure(args, scratch, layout, names, service, label):
    before = {n: cpu_seconds(layout.processes[n].pid) for n in names}
    sent_before = sum(rd.metrics(address).get('orvane_sent_bytes_total{kind="wire"}', 0) for address in
                      (layout.addresses[n] for n in names if n != "haproxy"))
    summary, elapsed = load(args, service, os.path.join(args.output, f"{label}.json"))
    cpu = {n: cpu_seconds(layout.processes[n].pid) - before[n] for n in names}
    sent = sum(rd.metrics(address).get('orvane_sent_bytes_total{kind="wire"}', 0) for address in
               (layout.addresses[n] for n in names if n != "haproxy")) - sent_before
    publishers = sum(v for n, v in cpu.items() if n != "haproxy")
    line = (f"{label}: {args.installs} installs of {args.package_mib} MiB, {args.concurrency} at a time: "
            f"{summary['throughput']['installs_per_minute']:.0f} installs/min "
            f"(p50 {summary['install_seconds']['p50']:.2f} s, p99 {summary['install_seconds']['p99']:.2f} s); "
            f"publishers' CPU {publishers / (sent / 1e9):.2f} s per GB sent ({sent / 1e9:.2f} GB on the wire)")
    if "haproxy" in cpu:
        line += f"; the balancer's CPU {cpu['haproxy'] / (sent / 1e9):.2f} s per GB"
    print(line, flush=True)


class FigureLayout(rd.Layout):
    # The publishers' defaults (a serving thread per core), but nothing prepared ahead: every run starts
    # from the same state, and the kept messages serve all but the first download.
    options = ["--prepare-threads", "0"]

    def __init__(self, args, scratch):
        super().__init__(args, scratch)
        self.addresses = {}

    def start_publisher(self, name, address, role=None):
        self.addresses[name] = address
        super().start_publisher(name, address, role)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build")
    parser.add_argument("--package-mib", type=int, default=64)
    parser.add_argument("--installs", type=int, default=60)
    parser.add_argument("--concurrency", type=int, default=10)
    parser.add_argument("--output", default=os.path.join(ROOT, "build", "figures", "balancer"))
    parsed = parser.parse_args()
    if os.environ.get("ORVANE_RELEASE_DAY_NS") != "1":
        command = ["unshare", "-n", "--", "sh", "-c", 'ip link set lo up && exec "$@"', "sh", sys.executable,
                   os.path.abspath(__file__)] + sys.argv[1:]
        return subprocess.run(command, env=dict(os.environ, ORVANE_RELEASE_DAY_NS="1")).returncode
    parsed.publisher = os.path.join(parsed.build, "publisher", "orvane-publisher")
    parsed.load = os.path.join(parsed.build, "load", "orvane-load")
    parsed.config = os.path.join(ROOT, "deploy", "haproxy", "haproxy.cfg")
    os.makedirs(parsed.output, exist_ok=True)
    scratch = tempfile.mkdtemp(prefix="balancer-figures-")
    try:
        folder = os.path.join(scratch, "releases", "12.3")
        rd.write_package(folder, 3, parsed.package_mib, 3)
        rd.sign(parsed.publisher, folder)
        os.symlink("releases/12.3", os.path.join(scratch, "package"))
        # Straight: one publisher with both services, installers at its own address.
        straight = FigureLayout(parsed, scratch)
        try:
            address = rd.CHECKS["check1"]
            straight.start_publisher("check1", address, ["--check", f"{address}:31711", "--download",
                                                         f"{address}:31712"])
            measure(parsed, scratch, straight, ["check1"], f"{rd.CHECKS['check1']}:31711", "straight")
        finally:
            straight.stop()
        balanced = FigureLayout(parsed, scratch)
        try:
            for name, address in {**rd.CHECKS, **rd.DOWNLOADS}.items():
                balanced.start_publisher(name, address)
            balanced.start_balancer()
            measure(parsed, scratch, balanced, list(balanced.processes), f"{rd.BALANCER}:31711", "balancer")
        finally:
            balanced.stop()
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
