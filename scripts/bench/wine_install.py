#!/usr/bin/env python3
"""The Wine stage of the download benchmark, run in a process of its own so that a stalled Wine can be
cut off by a time limit and the install can get a private network namespace:

  wine_install.py template SCRATCH
      boots the Wine prefix template (SCRATCH/template/prefix), as the end-to-end suite does once;
  wine_install.py install SETUP_EXE PUBLISHER PACKAGE SCRATCH REPORT
      installs PACKAGE through SETUP_EXE from the publisher on the fixed check port and prints
      "RESULT seconds S peak_kib K before_kib K done_s S": the install log's time from the button press
      to its last line, the installer's peak and pre-press resident memory, and the time from the press
      to the configuration file the install's last step writes (Done, so with the XCOPY).

An install that stops moving is reported with the step it waited in, a screenshot and its logs in REPORT.
"""
import os
import re
import shutil
import subprocess
import sys
import time

import cases
import checks
from harness import Failure, InstallerWindow, wait_for
from package_maker import tree_bytes

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
# Guards against a stalled install, never measurements: give up when nothing on disk or on screen has
# moved for STALL seconds, or after a limit that grows with the package (the install takes seconds).
STALL = 60


def installer_kib(field, scratch):
    """The largest `field` (VmRSS or VmHWM) among this run's OrvaneSetup.exe processes."""
    best = 0
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/cmdline", "rb") as f:
                if b"OrvaneSetup.exe" not in f.read():
                    continue
            with open(f"/proc/{pid}/environ", "rb") as f:
                if scratch.encode() not in f.read():
                    continue
            with open(f"/proc/{pid}/status") as f:
                for line in f:
                    if line.startswith(field + ":"):
                        best = max(best, int(line.split()[1]))
        except OSError:
            pass
    return best


def log_lines(path):
    try:
        with open(path, "rb") as f:
            return [line.rstrip(b"\r") for line in f.read().split(b"\n") if line.strip()]
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


class Progress:
    """Where the install is, read from its log and its two folders, and whether it still moves."""

    def __init__(self, case, package, scratch):
        self.case, self.scratch = case, scratch
        self.root = case.unix(checks.install_dir(case.wine))
        self.temp = self.root + "temp"
        self.pri = os.path.join(self.root, "config", "orvane.Default.pri")
        self.temp_log = os.path.join(self.temp, "log", "install.log")
        self.modules = len(checks.read_manifest(package)["modules"])
        self.package_bytes = tree_bytes(package)
        self.peak = 0
        self.seen = None
        self.moved = time.monotonic()

    def stage(self):
        lines = log_lines(self.temp_log)
        finished = sum(1 for line in lines if line.split(b"]", 1)[-1].strip().startswith(self.temp.encode()))
        last = lines[-1].decode("gbk", "replace") if lines else "(none)"
        if os.path.exists(self.temp) and not os.path.exists(self.root):
            if finished < self.modules:
                return (f"the download: {finished} of {self.modules} modules finished, "
                        f"{tree_bytes(self.temp) / 2**20:.0f} of {self.package_bytes / 2**20:.0f} MiB written; "
                        f"last log line {last!r}")
            return "the version records or the removal of the old install folder, after the download"
        if os.path.exists(self.temp):
            return (f"the copy of the download folder into the install folder (XCOPY): "
                    f"{tree_bytes(self.root) / 2**20:.0f} of {tree_bytes(self.temp) / 2**20:.0f} MiB copied")
        if not os.path.exists(self.root):
            return "neither the download folder nor the install folder exists"
        if not os.path.isdir(os.path.dirname(self.pri)):
            return ("the end of the install: the install folder has no config folder, so "
                    "config\\orvane.Default.pri can never be written (the package must bring that folder)")
        return "the unpacking, the uninstall entry, the desktop link or the configuration files, after the copy"

    def finished(self):
        self.peak = max(self.peak, installer_kib("VmHWM", self.scratch))
        lines = log_lines(self.temp_log)
        if any(line.endswith(b"Faile") for line in lines):
            raise Failure("the installer logged a failure: " + b" | ".join(lines).decode("gbk", "replace"))
        if os.path.exists(self.pri) or self.case.installer.exited():
            return True
        now = time.monotonic()
        if self.seen is None or now - self.moved >= 1.0:
            seen = (len(lines), tree_bytes(self.temp) if os.path.exists(self.temp) else 0,
                    tree_bytes(self.root) if os.path.exists(self.root) else 0)
            if seen != self.seen:
                self.seen, self.moved = seen, now
            elif now - self.moved > STALL:
                raise Failure(f"nothing moved for {STALL} s")
        return False


def report_stall(case, progress, failure, began, report):
    inst = case.installer
    os.makedirs(report, exist_ok=True)
    shutil.copy(inst.screenshot("stalled"), report)
    for name, path in (("install.log", progress.temp_log),
                       ("install-folder.log", os.path.join(progress.root, "log", "install.log")),
                       ("publisher.log", case.publisher.log_path)):
        if os.path.exists(path):
            shutil.copy(path, os.path.join(report, name))
    print(f"Wine: {failure} after {time.monotonic() - began:.0f} s; it waited in {progress.stage()}; "
          f"screen: {cases.screen(inst)}; visible windows: {window_names(case)}; "
          f"screenshot and logs in {report}", file=sys.stderr)


def install(setup, publisher, package, scratch, report):
    suite = cases.Suite(REPO, setup, publisher, package, os.path.join(scratch, "wine-out"), scratch)
    suite.template = os.path.join(scratch, "template", "prefix")
    case = cases.Case(suite, "download")
    try:
        case.serve()
        inst = case.open_installer("en_US.UTF-8")
        inst.move(*InstallerWindow.INSTALL_BUTTON)
        time.sleep(0.5)
        before = installer_kib("VmRSS", scratch)
        progress = Progress(case, package, scratch)
        clicked = time.time()
        began = time.monotonic()
        inst.click(*InstallerWindow.INSTALL_BUTTON)
        progress.moved = time.monotonic()
        try:
            wait_for(progress.finished, 120 + progress.package_bytes / 2**20, "the installation to finish",
                     interval=0.2)
        except Failure as failure:
            report_stall(case, progress, failure, began, report)
            return 1
        done_s = os.stat(progress.pri).st_mtime - clicked if os.path.exists(progress.pri) else float("nan")
        with open(os.path.join(progress.root, "log", "install.log"), "rb") as f:
            log = f.read()
        stamps = [int(h) * 3600 + int(m) * 60 + int(s) + int(ms) / 1000
                  for h, m, s, ms in re.findall(rb"^\[(\d\d):(\d\d):(\d\d) (\d\d\d)\]", log, re.M)]
        seconds = (stamps[-1] - stamps[0]) % 86400
        print(f"RESULT seconds {seconds:.3f} peak_kib {progress.peak} before_kib {before} done_s {done_s:.2f}")
        return 0
    finally:
        case.close()


def main(argv):
    if len(argv) == 3 and argv[1] == "template":
        cases.Suite(REPO, None, None, None, None, argv[2]).make_template()
        return 0
    if len(argv) == 7 and argv[1] == "install":
        return install(*argv[2:7])
    print(__doc__, file=sys.stderr)
    return 64


if __name__ == "__main__":
    sys.exit(main(sys.argv))
