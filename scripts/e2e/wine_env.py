#!/usr/bin/env python3
"""Runs a command in a private Wine environment: its own prefix, scratch HOME and Xvfb display (the
harness's), all stopped by PID and removed afterwards. Exits with the command's status.

Usage: wine_env.py COMMAND [ARGS...]. ORVANE_KEEP_PREFIX=1 keeps the scratch folder for inspection;
ORVANE_USE_DISPLAY=1 uses $DISPLAY instead of a private Xvfb.
"""
import os
import shutil
import signal
import subprocess
import sys
import tempfile

from harness import MissingLocale, WinePrefix, Xvfb, require_locale, stop_process


class Stopped(Exception):
    def __init__(self, signum):
        super().__init__(signum)
        self.status = 128 + signum


def stop(signum, _frame):
    raise Stopped(signum)


def main(argv):
    if not argv:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    repo = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    try:
        require_locale(os.environ.get("LC_ALL") or os.environ.get("LANG"))
    except MissingLocale as missing:
        print(f"wine-env: {missing}", file=sys.stderr)
        return 2
    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)
    scratch = tempfile.mkdtemp(prefix="orvane-wine.", dir="/tmp")
    xvfb = wine = command = None
    try:
        if os.environ.get("ORVANE_USE_DISPLAY"):
            display = os.environ["DISPLAY"]
        else:
            xvfb = Xvfb()
            display = xvfb.display
        wine = WinePrefix(scratch, display, repo=repo)
        command = subprocess.Popen(argv, env=wine.env())
        return command.wait()
    except Stopped as stopped:
        return stopped.status
    finally:
        signal.signal(signal.SIGTERM, signal.SIG_IGN)
        signal.signal(signal.SIGINT, signal.SIG_IGN)
        stop_process(command)
        if wine:
            wine.stop()
        if xvfb:
            xvfb.stop()
        if os.environ.get("ORVANE_KEEP_PREFIX") != "1":
            shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
