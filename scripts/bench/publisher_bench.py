#!/usr/bin/env python3
"""Publisher figures, each against its anchor in the same run, on a package of half slices of the
machine's executables and half random bytes (kept in build/bench between runs):

- bytes on the wire per package byte: the publisher as it compresses per download (LZO1X-1) and from its
  prepared cache (LZO1X-999), against gzip -9 of the same files served by nginx (gzip_static);
- install time through a link emulator (50 Mbit/s each way, 20 ms each way): the installer's own check
  and download clients, the publisher advertising the emulator's port, against curl fetching the same
  files through the same link from nginx, plain and precompressed (curl --compressed);
- loopback after preparation: 1 and 20 clients at once (publisher_download_bench) against as many curls
  from nginx, in file bytes per second, and each server's CPU seconds per GB of file bytes served, read
  from /proc;
- the installer's receive-thread CPU per GB against decrypt + decompress alone (download_client_bench).

Where the publisher has no prepared cache (no --cache-dir in its --help), the prepared figures are n/a.
Figures, never pass/fail. Run through scripts/bench-publisher.sh, which puts the e2e harness on the
import path.
"""
import argparse
import json
import os
import re
import shlex
import shutil
import subprocess
import time

import installer_driver
from harness import Failure, wait_for
from link_emulator import Link
from package_maker import files_below, make_package, tree_bytes
from servers import (REPO, BenchPublisher, Nginx, build_native, curl_config, free_port, nginx_binary, note,
                     publisher_help, run_curls, run_main)

LINK_MBIT = 50
LINK_DELAY_MS = 20
LABELS = {"lzo1x-1": "LZO1X-1", "prepared": "prepared LZO1X-999"}


def ensure_package(work, mib):
    """The bench package and, beside it, a tree with a gzip -9 copy of every file for gzip_static; both are
    made once per size."""
    pkg = os.path.join(work, f"package-{mib}")
    gz = pkg + "-gzip"
    if not os.path.exists(os.path.join(pkg, "package.json")):
        shutil.rmtree(pkg, ignore_errors=True)
        note(f"writing the {mib} MiB package in {pkg} ...")
        make_package(pkg + ".new", mib)
        os.rename(pkg + ".new", pkg)
        # The publisher keeps a file's messages only once the file has been left alone for 2 seconds.
        time.sleep(2)
    if not os.path.exists(os.path.join(gz, "done")):
        shutil.rmtree(gz, ignore_errors=True)
        note("compressing a gzip -9 copy of every file ...")
        modules = os.path.join(pkg, "modules")
        jobs = []
        for rel in files_below(modules):
            os.makedirs(os.path.dirname(os.path.join(gz, rel)), exist_ok=True)
            os.link(os.path.join(modules, rel), os.path.join(gz, rel))
            with open(os.path.join(gz, rel + ".gz"), "wb") as out:
                jobs.append(subprocess.Popen(["gzip", "-9", "-n", "-c", os.path.join(modules, rel)], stdout=out))
            while sum(j.poll() is None for j in jobs) >= 2:
                time.sleep(0.05)
        if any(j.wait() for j in jobs):
            raise Failure("gzip failed")
        open(os.path.join(gz, "done"), "w").close()
    return pkg, gz


def preparation_done(lines):
    """Whether the publisher has said that its preparation is done: a line about preparing that says it
    is done, or counts as many prepared files as there are."""
    for line in lines:
        if not re.search(r"prepar", line, re.I):
            continue
        if re.search(r"done|complete|finished", line, re.I):
            return True
        counts = re.search(r"(\d+)\s*(?:/|of)\s*(\d+)", line)
        if counts and counts.group(1) == counts.group(2) and counts.group(1) != "0":
            return True
    return False


class Run:
    """What one run needs: the programs, the package, the scratch folder and the figures so far."""

    def __init__(self, args):
        self.args = args
        native = os.path.abspath(args.native_build)
        build_native(native, ["orvane-publisher", "publisher_download_bench", "download_client_bench"])
        self.publisher_exe = os.path.join(native, "publisher", "orvane-publisher")
        self.bench_exe = os.path.join(native, "bench", "publisher_download_bench")
        self.driver = os.path.join(native, "bench", "download_client_bench")
        self.work = os.path.join(REPO, "build", "bench")
        self.scratch = os.path.join(self.work, "publisher-run")
        shutil.rmtree(self.scratch, ignore_errors=True)
        os.makedirs(self.scratch)
        self.pkg, self.gz = ensure_package(self.work, args.mib)
        self.modules = os.path.join(self.pkg, "modules")
        self.files = files_below(self.modules)
        self.nbytes = tree_bytes(self.modules)
        self.gzip_bytes = sum(os.path.getsize(os.path.join(self.gz, rel + ".gz")) for rel in self.files)
        self.prepares = "--cache-dir" in publisher_help(self.publisher_exe)
        self.figures = {}

    def linked_install(self, name, switches):
        """Installs through a fresh link from a publisher that advertises the link's port."""
        link = Link(LINK_MBIT, LINK_DELAY_MS)
        publisher = None
        try:
            download = free_port()
            advertised = link.route(download)
            publisher = BenchPublisher(self.publisher_exe, self.pkg, os.path.join(self.scratch, f"{name}.log"),
                                       [*switches, "--advertise", f"127.0.0.1:{advertised}"], download)
            if name == "prepared":
                self.figures["prepare_s"] = self.wait_preparation(publisher)
            check = link.route(publisher.check_port)
            note(f"install through the emulated link ({name}) ...")
            fetched = installer_driver.fetch(self.driver, check, os.path.join(self.scratch, "fetch"), self.nbytes)
            self.figures[f"{name}_link_s"] = fetched["seconds"]
            self.figures[f"{name}_wire"] = sum(link.counted())
        finally:
            if publisher:
                publisher.stop()
            link.close()

    def wait_preparation(self, publisher):
        """Seconds from ready until the publisher logs that its preparation is done."""
        note("waiting for the publisher to prepare the package ...")
        began = time.monotonic()
        limit = 120 + 3 * self.args.mib
        try:
            wait_for(lambda: preparation_done(publisher.log_lines()), limit, "the preparation to be done", 0.5)
        except Failure:
            self.figures["prepared_note"] = f"not prepared within {limit} s"
            raise
        return time.monotonic() - began

    def loopback(self, publisher):
        note("1 and 20 clients on loopback ...")
        out = os.path.join(self.scratch, "publisher.json")
        env = dict(os.environ, ORVANE_BENCH_CHECK_PORT=str(publisher.check_port),
                   ORVANE_BENCH_DOWNLOAD_PORT=str(publisher.download_port))
        before = publisher.cpu()
        subprocess.run([self.bench_exe, "--benchmark_format=json", f"--benchmark_out={out}",
                        "--benchmark_out_format=json"], env=env, check=True, stdout=subprocess.DEVNULL)
        self.figures["pub_cpu"] = publisher.cpu() - before
        with open(out) as f:
            runs = json.load(f)["benchmarks"]
        if any(r.get("error_occurred") for r in runs):
            raise Failure("publisher_download_bench: " + "; ".join(r.get("error_message", "") for r in runs))
        self.figures["pub_rate"] = {int(r["clients"]): r["bytes_per_second"] / 1e6 for r in runs}
        self.figures["pub_served"] = sum(int(r["clients"]) for r in runs) * self.nbytes
        self.figures["pub_peak_kib"] = publisher.peak_kib()
        note("the installer's clients on loopback ...")
        fetched = installer_driver.fetch(self.driver, publisher.check_port, os.path.join(self.scratch, "fetch"),
                                         self.nbytes, self.pkg)
        self.figures["receive_cpu"], self.figures["receive_threaded"] = installer_driver.receive_cpu(fetched)
        same_run = installer_driver.receive_ratio(fetched)
        if same_run is not None:
            self.figures["receive_same_run"] = same_run

    def publisher_figures(self):
        if self.prepares:
            unprepared = None if self.args.unprepared is None else shlex.split(self.args.unprepared)
        else:
            unprepared = []
        if unprepared is not None:
            self.linked_install("lzo1x-1", unprepared)
        log = os.path.join(self.scratch, "loopback.log")
        if not self.prepares:
            publisher = BenchPublisher(self.publisher_exe, self.pkg, log)
        else:
            cache = ["--cache-dir", os.path.join(self.scratch, "cache")]
            publisher = None
            try:
                self.linked_install("prepared", cache)
                # A restart finds what it prepared in the cache.
                publisher = BenchPublisher(self.publisher_exe, self.pkg, log, cache)
                self.figures["restart_prepare_s"] = self.wait_preparation(publisher)
            except Failure as failure:
                note(f"prepared: {failure}; the loopback figures are from a publisher still preparing")
                self.figures["loopback_unprepared"] = True
                publisher = publisher or BenchPublisher(self.publisher_exe, self.pkg, log, cache)
        try:
            self.loopback(publisher)
        finally:
            publisher.stop()

    def nginx_figures(self):
        nginx = Nginx(nginx_binary(os.path.join(self.work, "nginx")), self.gz, os.path.join(self.scratch, "nginx"),
                      free_port(), workers=os.cpu_count(), gzip_static=True)
        try:
            for name, compressed in (("plain", False), ("gzip", True)):
                link = Link(LINK_MBIT, LINK_DELAY_MS)
                try:
                    config = curl_config(os.path.join(self.scratch, f"link-{name}.cfg"), link.route(nginx.port),
                                         self.files, compressed)
                    note(f"curl through the emulated link ({name}) ...")
                    self.figures[f"{name}_link_s"] = run_curls(config)
                    self.figures[f"{name}_wire"] = sum(link.counted())
                finally:
                    link.close()
            note("curl on loopback, 1 and 20 at once ...")
            config = curl_config(os.path.join(self.scratch, "loopback.cfg"), nginx.port, self.files)
            before = nginx.cpu()
            self.figures["nginx_rate"] = {n: self.nbytes * n / run_curls(config, n) / 1e6 for n in (1, 20)}
            self.figures["nginx_cpu"] = nginx.cpu() - before
        finally:
            nginx.stop()

    def codec_figures(self):
        note("decrypt + decompress alone ...")
        codec = installer_driver.codec(self.driver, self.pkg)
        seconds, self.figures["codec_cpu"] = installer_driver.codec_seconds(codec)
        self.figures["codec_s_per_gb"] = seconds / codec["file_bytes"] * 1e9


def ratio(value, anchor):
    return None if value is None or not anchor else value / anchor


def cell(value, digits=2):
    return "n/a" if value is None else f"{value:.{digits}f}"


def table(run):
    f, n = run.figures, run.nbytes
    gzip_wire = f["gzip_wire"] / n
    rows = []
    for name in ("lzo1x-1", "prepared"):
        wire = f[f"{name}_wire"] / n if f"{name}_wire" in f else None
        rows.append((f"wire bytes per package byte, {LABELS[name]}", cell(wire), f"gzip -9 {gzip_wire:.2f}",
                     cell(ratio(wire, gzip_wire)), "<= 0.72 and <= 1.10 x gzip"))
    for name in ("lzo1x-1", "prepared"):
        seconds = f.get(f"{name}_link_s")
        rows.append((f"50 Mbit/s install s, {LABELS[name]}", cell(seconds, 1), f"plain HTTP {f['plain_link_s']:.1f}",
                     cell(ratio(seconds, f["plain_link_s"])), "<= 0.75 x plain"))
        rows.append(("", "", f"gzip HTTP {f['gzip_link_s']:.1f}", cell(ratio(seconds, f["gzip_link_s"])),
                     "<= 1.10 x gzip"))
    rate = f.get("pub_rate", {})
    for clients, target in ((20, ">= 0.6"), (1, ">= 0.5")):
        anchor = f["nginx_rate"][clients]
        rows.append((f"loopback MB/s, {clients} client{'s' if clients > 1 else ''}", cell(rate.get(clients), 0),
                     f"nginx+curl {anchor:.0f}", cell(ratio(rate.get(clients), anchor)), target))
    nginx_gb = f["nginx_cpu"] / (21 * n) * 1e9
    pub_gb = f["pub_cpu"] / f["pub_served"] * 1e9 if "pub_served" in f else None
    rows.append(("server CPU s per GB served", cell(pub_gb), f"nginx {nginx_gb:.2f}", cell(ratio(pub_gb, nginx_gb)),
                 "<= 2"))
    if "receive_same_run" in f:
        # The receive thread's own CPU and the codec's over the same package, both timed in the driver.
        thread_gb, codec_gb, same_ratio = f["receive_same_run"]
        rows.append(("CPU s per GB, receive thread", cell(thread_gb), f"codec alone {codec_gb:.2f}",
                     cell(same_ratio), "<= 1.5"))
    else:
        recv_gb = f["receive_cpu"] / n * 1e9 if "receive_cpu" in f else None
        what = "receive thread" if f.get("receive_threaded") else "installer process"
        codec = "codec alone" if f["codec_cpu"] else "codec alone (wall)"
        rows.append((f"CPU s per GB, {what}", cell(recv_gb), f"{codec} {f['codec_s_per_gb']:.2f}",
                     cell(ratio(recv_gb, f["codec_s_per_gb"])), "<= 1.5"))
    widths = [max(len(r[i]) for r in rows + [("figure", "ours", "anchor", "ratio", "target")]) for i in range(5)]
    lines = []
    for r in [("figure", "ours", "anchor", "ratio", "target")] + rows:
        lines.append("  " + "  ".join(c.ljust(w) if i in (0, 2, 4) else c.rjust(w) for i, (c, w) in
                                      enumerate(zip(r, widths))).rstrip())
    return lines


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("native_build", nargs="?", default=os.path.join(REPO, "build", "native"))
    parser.add_argument("--mib", type=int, default=int(os.environ.get("ORVANE_BENCH_MIB", "256")),
                        help="package size in MiB, a multiple of 16 (default 256; 64 for a quick run)")
    parser.add_argument("--unprepared", metavar="SWITCHES",
                        help="publisher switches that turn preparing off, for the LZO1X-1 figures of a publisher "
                             "that prepares by default (without them those figures are n/a there)")
    args = parser.parse_args()
    run = Run(args)
    note(f"package of {run.nbytes} bytes; gzip -9 of its files {run.gzip_bytes} bytes; "
         f"prepared cache: {'yes' if run.prepares else 'not in this publisher'}")
    run.publisher_figures()
    run.nginx_figures()
    run.codec_figures()
    f = run.figures
    print(f"Publisher on a {args.mib} MiB package (half executables, half random bytes): "
          f"{run.nbytes} bytes, gzip -9 {run.gzip_bytes} bytes ({run.gzip_bytes / run.nbytes:.2f})")
    print(f"  link emulator: {LINK_MBIT} Mbit/s and {LINK_DELAY_MS} ms each way; wire bytes counted through it, "
          f"both directions")
    if not run.prepares:
        print("  the publisher has no prepared cache (--cache-dir): prepared figures n/a; loopback figures from "
              "the publisher as it is (LZO1X-1, kept messages)")
    else:
        if args.unprepared is None:
            print("  LZO1X-1 figures n/a: this publisher prepares by default; --unprepared SWITCHES turns that off")
        if "prepare_s" in f:
            print(f"  preparation done {f['prepare_s']:.1f} s after the publisher was ready; after a restart on "
                  f"the same cache {cell(f.get('restart_prepare_s'), 1)} s")
        else:
            print(f"  prepared figures n/a: {f.get('prepared_note', 'see the messages above')}")
        if f.get("loopback_unprepared"):
            print("  the loopback figures are from a publisher that had not finished preparing")
    print("\n".join(table(run)))
    if "receive_same_run" not in f and not f.get("receive_threaded", True):
        print("  (the driver reports no receive-thread CPU: the installer process's CPU stands in)")
    if not f["codec_cpu"]:
        print("  (the codec-alone cost is the wall time of the timed decode: a busy machine inflates it)")
    if "pub_peak_kib" in f:
        print(f"  publisher peak memory (VmHWM): {f['pub_peak_kib'] / 1024:.1f} MiB")
    print("  figures are from a shared machine: noisy; never pass/fail")
    return 0


if __name__ == "__main__":
    run_main(main, "bench-publisher")
