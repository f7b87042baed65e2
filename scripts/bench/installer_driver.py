"""The installer's own check and download clients, run natively by download_client_bench."""
import os
import shutil
import subprocess

from harness import Failure


def _pairs(line):
    """'name value name value ...' as {name: float}."""
    words = line.split()
    return {name: float(value) for name, value in zip(words[::2], words[1::2])}


def fetch(driver, port, folder, expect_bytes, package=None):
    """One whole download from the check service on 127.0.0.1:port into folder (removed afterwards).
    Returns the driver's figures: seconds, bytes, peak_rss_kib, rss_before_kib, cpu_s, and, given the
    package folder the publisher serves, the receive thread's CPU per GB against the codec's in the same
    run (see receive_ratio)."""
    command = [driver, "fetch", "127.0.0.1", str(port), os.path.join(folder, "v8.5")]
    if package is not None:
        command.append(package)
    result = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    shutil.rmtree(folder, ignore_errors=True)
    if result.returncode != 0:
        raise Failure(f"the download failed: {result.stderr.strip()}")
    figures = _pairs(result.stdout)
    if int(figures.get("bytes", -1)) != expect_bytes:
        raise Failure(f"the download wrote {figures.get('bytes')} bytes of {expect_bytes}")
    return figures


def receive_cpu(figures):
    """(CPU seconds of the receive thread, True) when the driver reports them, else (the process's, False).
    A per-GB figure is not seconds: receive_ratio reads that one."""
    for name, value in figures.items():
        if ("recv" in name or "receive" in name) and "cpu" in name and "per-gb" not in name:
            return value, True
    return figures["cpu_s"], False


def receive_ratio(figures):
    """(receive-thread CPU s/GB, codec-alone CPU s/GB, their ratio) from the driver's second fetch line,
    both measured in the one run; None when the driver did not print it (no package folder given)."""
    thread = next((value for name, value in figures.items()
                   if ("recv" in name or "receive" in name) and "cpu" in name and "per-gb" in name), None)
    codec = figures.get("codec-cpu-s-per-gb")
    if thread is None or codec is None or "ratio" not in figures:
        return None
    return thread, codec, figures["ratio"]


def codec_seconds(figures):
    """(CPU seconds of the timed decode, True) when the driver reports them, else (its wall seconds, False),
    which a busy machine inflates."""
    for name, value in figures.items():
        if "cpu" in name and "bare" not in name:
            return value, True
    return figures["seconds"], False


def codec(driver, package, runs=3):
    """The codec-bound limit: file_bytes, message_bytes, seconds, bare_bytes, bare_seconds; of `runs` runs
    the quickest, since other work on the machine only ever adds to a wall time."""
    best = None
    for _ in range(runs):
        result = subprocess.run([driver, "codec", package], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                text=True)
        if result.returncode != 0:
            raise Failure(f"the codec run failed: {result.stderr.strip()}")
        figures = _pairs(result.stdout)
        if best is None or codec_seconds(figures)[0] < codec_seconds(best)[0]:
            best = figures
    return best
