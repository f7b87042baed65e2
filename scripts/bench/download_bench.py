#!/usr/bin/env python3
"""Whole-download figures: the publisher serves a generated package (half slices of real executables,
half random bytes) on 127.0.0.1 and the installer's own check and download clients fetch it natively,
timed from the connect (the button press) to WM_USER + 108: first from a fresh publisher, which reads
and compresses every file, then again, when it sends the compressed messages it kept. In the same run:
the codec-bound limit (ParsePackets over the publisher's own download messages for the package), the
CPU seconds each side spent, the installer's receive-thread CPU per GB against that codec-alone cost,
and the anchor, curl fetching the same files from a local nginx. Prints MB/s (10^6 bytes/s) and the
ratios. Figures, never pass/fail.

With a Windows build folder holding app/OrvaneSetup.exe, the same package is also installed under Wine
through OrvaneSetup.exe (the e2e harness's prefix, Xvfb and publisher on the fixed check port, inside a
private network namespace), timed by the install log from the button press to the last line before
WM_USER + 108 closes the log, and from the press to the configuration file that the install's last step
writes. A stalled install is reported with its step, a screenshot and its logs (in
$ORVANE_TEST_OUTPUT/bench-download, by default build/test-output/bench-download).

Run through scripts/bench-download.sh, which puts the e2e harness on the import path.
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time

import installer_driver
from harness import Failure
from package_maker import files_below, make_package, tree_bytes
from servers import REPO, BenchPublisher, Nginx, build_native, free_port, nginx_binary, note, run_curls, run_main

WINE_TEMPLATE_LIMIT = 120


def mbs(nbytes, seconds):
    return nbytes / seconds / 1e6


def native_fetch(driver, publisher, folder, nbytes, package):
    """One fetch: the driver's figures plus pub_cpu, the publisher's CPU seconds in that time."""
    before = publisher.cpu()
    figures = installer_driver.fetch(driver, publisher.check_port, folder, nbytes, package)
    figures["pub_cpu"] = publisher.cpu() - before
    return figures


def curl_anchor(scratch, pkg, nbytes):
    """Seconds for one curl fetching every file from a private nginx over one connection."""
    modules = os.path.join(pkg, "modules")
    nginx = Nginx(nginx_binary(os.path.join(REPO, "build", "bench", "nginx")), modules,
                  os.path.join(scratch, "nginx"), free_port())
    try:
        out = os.path.join(scratch, "curl")
        config = os.path.join(scratch, "curl.cfg")
        with open(config, "w") as f:
            for rel in files_below(modules):
                os.makedirs(os.path.dirname(os.path.join(out, rel)), exist_ok=True)
                f.write(f'url = "http://127.0.0.1:{nginx.port}/{rel}"\noutput = "{out}/{rel}"\n')
        seconds = run_curls(config)
        if tree_bytes(out) != nbytes:
            raise Failure(f"curl fetched {tree_bytes(out)} bytes of {nbytes}")
        shutil.rmtree(out)
        return seconds
    finally:
        nginx.stop()


def wine_stage(setup_exe, publisher_exe, pkg, scratch, nbytes):
    """The lines of the Wine install, or of why it did not happen."""
    script = os.path.join(os.path.dirname(os.path.abspath(__file__)), "wine_install.py")
    # The prefix is booted once, under a time limit, and the case copies it, as the e2e suite does with its
    # template: one boot here never came back from its wait for the Wine server (a device host of the
    # prefix kept running), which without a limit stalls the whole benchmark.
    note("preparing a Wine prefix ...")
    try:
        subprocess.run(["python3", script, "template", scratch], stdout=sys.stderr, timeout=WINE_TEMPLATE_LIMIT,
                       check=True)
    except (subprocess.TimeoutExpired, subprocess.CalledProcessError):
        return [f"  (Wine: the Wine prefix was not ready within {WINE_TEMPLATE_LIMIT} s; the install was not tried)"]
    note("installing under Wine ...")
    report = os.path.join(os.environ.get("ORVANE_TEST_OUTPUT", os.path.join(REPO, "build", "test-output")),
                          "bench-download")
    # The installer's check port is compiled in and other runs on this machine use it too: this stage gets
    # a network namespace of its own, with only a loopback, so neither side meets the other's installer.
    result = subprocess.run(["unshare", "-n", "--", "sh", "-c", 'ip link set lo up && exec python3 "$@"', "_",
                             script, "install", setup_exe, publisher_exe, pkg, scratch, report],
                            stdout=subprocess.PIPE, text=True)
    found = [line.split()[1:] for line in result.stdout.splitlines() if line.startswith("RESULT ")]
    if result.returncode != 0 or not found:
        return ["  (Wine: the install did not finish; see the messages above)"]
    figures = dict(zip(found[0][::2], map(float, found[0][1::2])))
    return [f"  {'Wine: OrvaneSetup.exe':<34} {mbs(nbytes, figures['seconds']):6.0f} MB/s  "
            f"({figures['seconds']:.2f} s)  peak resident {int(figures['peak_kib']) // 1024} MiB "
            f"({int(figures['before_kib']) // 1024} MiB before the press)",
            f"  {'Wine: press to Done (with XCOPY)':<34} {figures['done_s']:6.2f} s"]


def stop_wine_servers(scratch):
    # The Wine servers of this run's own prefixes, should an interrupted stage have left one behind.
    for prefix in ("template", "download"):
        path = os.path.join(scratch, prefix, "prefix")
        if os.path.isdir(path):
            env = dict(os.environ, WINEPREFIX=path)
            subprocess.run(["wineserver", "-k"], env=env, timeout=30, stderr=subprocess.DEVNULL)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("native_build", nargs="?", default=os.path.join(REPO, "build", "native"))
    parser.add_argument("windows_build", nargs="?")
    parser.add_argument("--mib", type=int, default=int(os.environ.get("ORVANE_BENCH_MIB", "256")),
                        help="package size in MiB, a multiple of 16 (default 256, or $ORVANE_BENCH_MIB)")
    args = parser.parse_args()
    native = os.path.abspath(args.native_build)
    build_native(native, ["orvane-publisher", "download_client_bench"])
    driver = os.path.join(native, "bench", "download_client_bench")
    publisher_exe = os.path.join(native, "publisher", "orvane-publisher")

    scratch = tempfile.mkdtemp(prefix="orvane-bench-download.")
    publisher = None
    try:
        note(f"generating a {args.mib} MiB package in {scratch} ...")
        pkg = os.path.join(scratch, "package")
        make_package(pkg, args.mib)
        # The publisher keeps a file's messages only once the file has been left alone for 2 seconds.
        time.sleep(2)
        nbytes = tree_bytes(os.path.join(pkg, "modules"))
        publisher = BenchPublisher(publisher_exe, pkg, os.path.join(scratch, "publisher.log"))
        folder = os.path.join(scratch, "native")
        note("native download ...")
        fresh = native_fetch(driver, publisher, folder, nbytes, pkg)
        note("native download again (the publisher sends what it kept) ...")
        warm = native_fetch(driver, publisher, folder, nbytes, pkg)
        publisher.stop()
        publisher = None
        note("codec-bound limit ...")
        codec = installer_driver.codec(driver, pkg)
        note("curl from nginx ...")
        curl_s = curl_anchor(scratch, pkg, nbytes)
        wine = ["  (Wine: no Windows build given)"]
        setup_exe = os.path.join(args.windows_build, "app", "OrvaneSetup.exe") if args.windows_build else None
        if setup_exe and os.path.exists(setup_exe):
            wine = wine_stage(os.path.abspath(setup_exe), publisher_exe, pkg, scratch, nbytes)
    finally:
        if publisher:
            publisher.stop()
        stop_wine_servers(scratch)
        shutil.rmtree(scratch, ignore_errors=True)

    rate = {"native": mbs(nbytes, fresh["seconds"]), "warm": mbs(nbytes, warm["seconds"]),
            "codec": mbs(codec["file_bytes"], codec["seconds"]), "curl": mbs(nbytes, curl_s)}
    print(f"Whole download of a {args.mib} MiB package (half executables, half random bytes), 127.0.0.1")
    for label, key, run in (("native: check + download clients", "native", fresh),
                            ("native again: publisher kept files", "warm", warm)):
        print(f"  {label:<34} {rate[key]:6.0f} MB/s  ({run['seconds']:.2f} s; CPU: installer {run['cpu_s']:.2f} s, "
              f"publisher {run['pub_cpu']:.2f} s)")
    print(f"  {'codec-bound limit (ParsePackets)':<34} {rate['codec']:6.0f} MB/s  ({codec['seconds']:.3f} s for "
          f"{int(codec['message_bytes'])} message bytes)")
    print(f"  {'':<34} {mbs(codec['bare_bytes'], codec['bare_seconds']):6.0f} MB/s  "
          f"(bare files in 128 KiB messages, for comparison)")
    print(f"  {'anchor: curl from nginx':<34} {rate['curl']:6.0f} MB/s  ({curl_s:.2f} s)")
    print("\n".join(wine))
    print(f"  native / codec-bound limit: {rate['native'] / rate['codec']:.0%} "
          f"(again: {rate['warm'] / rate['codec']:.0%})"
          f"    native / curl: {rate['native'] / rate['curl']:.2f} (again: {rate['warm'] / rate['curl']:.2f})")
    print(f"  driver peak resident memory: {fresh['peak_rss_kib'] / 1024:.1f} MiB, again "
          f"{warm['peak_rss_kib'] / 1024:.1f} MiB ({fresh['rss_before_kib'] / 1024:.1f} MiB before the download)")
    same_run = [installer_driver.receive_ratio(run) for run in (fresh, warm)]
    if all(same_run):
        # The driver timed the codec alone right after its own download: one run, one machine load.
        (thread, codec_gb, ratio), (warm_thread, _, warm_ratio) = same_run
        print(f"  CPU per GB, receive thread: {thread:.2f} s (again {warm_thread:.2f} s); decrypt + decompress "
              f"alone in the same run {codec_gb:.2f} s; ratio {ratio:.2f} (again {warm_ratio:.2f})")
    else:
        codec_s, codec_cpu = installer_driver.codec_seconds(codec)
        codec_per_gb = codec_s / codec["file_bytes"] * 1e9
        (cpu, threaded), (warm_cpu, _) = installer_driver.receive_cpu(fresh), installer_driver.receive_cpu(warm)
        what = "receive thread" if threaded else "installer process (no receive-thread figure from the driver)"
        per_gb, warm_per_gb = cpu / nbytes * 1e9, warm_cpu / nbytes * 1e9
        print(f"  CPU per GB, {what}: {per_gb:.2f} s (again {warm_per_gb:.2f} s); decrypt + decompress alone "
              f"{codec_per_gb:.2f} s{'' if codec_cpu else ' (wall time)'}; ratio {per_gb / codec_per_gb:.2f} "
              f"(again {warm_per_gb / codec_per_gb:.2f})")
    return 0


if __name__ == "__main__":
    run_main(main, "bench-download")
