#!/usr/bin/env python3
"""Runs the end-to-end cases, by default one at a time: the installer's check port is fixed.

Each case gets its own Xvfb display, its own Wine prefix (copied from a template made once), its own
publisher and its own output folder with screenshots and the publisher's log. With --jobs N, N cases run
at once, each in its own network namespace (its own loopback, so each has the fixed port to itself).
"""
import argparse
import fnmatch
import os
import shutil
import subprocess
import sys
import tempfile
import time
import traceback
from concurrent.futures import ThreadPoolExecutor

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import cases  # noqa: E402
from harness import Failure, Skip  # noqa: E402


def main():
    repo = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--windows-build", default=os.path.join(repo, "build", "windows"))
    parser.add_argument("--native-build", default=os.path.join(repo, "build", "native"))
    parser.add_argument("--output", default=os.environ.get("ORVANE_TEST_OUTPUT", os.path.join(repo, "build", "test-output"))
                        + os.sep + "e2e")
    parser.add_argument("--case", action="append", default=[], help="run only cases matching this pattern")
    parser.add_argument("--keep", action="store_true", help="keep each case's Wine prefix")
    parser.add_argument("--list", action="store_true")
    parser.add_argument("--jobs", type=int, default=1, help="cases at once, each in its own network namespace")
    # Set by the parent of a --jobs run for each child: the shared template and scratch folder.
    parser.add_argument("--template", help=argparse.SUPPRESS)
    parser.add_argument("--scratch", help=argparse.SUPPRESS)
    args = parser.parse_args()

    selected = [(n, f) for n, f in cases.CASES if not args.case or any(fnmatch.fnmatch(n, p) for p in args.case)]
    if args.list:
        print("\n".join(n for n, _ in selected))
        return 0
    setup = os.path.join(args.windows_build, "app", "OrvaneSetup.exe")
    publisher = os.path.join(args.native_build, "publisher", "orvane-publisher")
    package = os.path.join(args.windows_build, "examples", "package")
    for path in (setup, os.path.join(package, "package.json")):
        if not os.path.exists(path):
            print(f"e2e: missing {path}: build it first (scripts/e2e.sh does)", file=sys.stderr)
            return 2

    os.makedirs(args.output, exist_ok=True)
    child = args.template is not None
    scratch = args.scratch or tempfile.mkdtemp(prefix="orvane-e2e.")
    suite = cases.Suite(repo, setup, publisher, package, args.output, scratch)
    jobs = args.jobs
    if jobs > 1 and subprocess.run(["unshare", "-n", "true"], stderr=subprocess.DEVNULL).returncode != 0:
        print("e2e: no network namespaces here (unshare -n needs root): one case at a time", flush=True)
        jobs = 1
    results = []
    began = time.monotonic()
    try:
        if child:
            suite.template = args.template
        else:
            print("e2e: preparing the Wine prefix template", flush=True)
            suite.make_template()
        if jobs > 1:
            # The longest cases start first, so that the last minutes are not one case running alone.
            ordered = sorted(selected, key=lambda case: case[0] not in cases.LONGEST)
            with ThreadPoolExecutor(jobs) as pool:
                for passed, output in pool.map(lambda case: run_isolated(case[0], args, suite), ordered):
                    print(output, end="", flush=True)
                    results.append(passed)
        else:
            results = [run_case(suite, name, run, args.output, args.keep) for name, run in selected]
    finally:
        if args.keep and not child:
            print(f"e2e: prefixes kept in {scratch}")
        elif not child:
            shutil.rmtree(scratch, ignore_errors=True)
    passed = sum(results)
    if not child:
        print(f"e2e: whole suite {time.monotonic() - began:.0f} s; output in {args.output}")
        print(f"{passed} passed (skipped ones included), {len(results) - passed} failed")
    return 0 if passed == len(results) else 1


def run_isolated(name, args, suite):
    """Runs one case in a child of this script inside a new network namespace with its loopback up."""
    command = [sys.executable, os.path.abspath(__file__), "--case", name, "--windows-build", args.windows_build,
               "--native-build", args.native_build, "--output", args.output, "--template", suite.template,
               "--scratch", suite.scratch] + (["--keep"] if args.keep else [])
    wrapped = ["unshare", "-n", "--", "sh", "-c", 'ip link set lo up && exec "$@"', "sh"] + command
    done = subprocess.run(wrapped, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    return done.returncode == 0, done.stdout


def run_case(suite, name, run, output, keep):
    """Runs one case and prints its result line; true unless it failed."""
    case_began = time.monotonic()
    case = None
    error = None
    skipped = None
    try:
        case = cases.Case(suite, name)
        run(case)
    except Skip as skip:
        skipped = str(skip)
    except Failure as failure:
        error = str(failure)
    except Exception:  # a fault of the harness itself still fails only this case
        error = traceback.format_exc()
    finally:
        if case is not None:
            case.close(keep=keep)
    seconds = time.monotonic() - case_began
    figures = "" if case is None or not case.figures else " " + ", ".join(
        f"{k} {v}" for k, v in case.figures.items())
    status = "PASS" if error is None else "FAIL"
    if skipped is not None:
        status, figures = "SKIP", ": " + skipped
    print(f"e2e: {status} {name} ({seconds:.1f} s){figures}", flush=True)
    if error:
        print("      " + error.strip().replace("\n", "\n      "), flush=True)
    with open(os.path.join(output, name, "result.txt") if case else os.devnull, "w") as f:
        f.write(f"{status} {seconds:.1f} s{figures}\n{error or ''}\n")
    return error is None

if __name__ == "__main__":
    sys.exit(main())
