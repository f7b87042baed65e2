#!/usr/bin/env python3
"""Runs the end-to-end cases one at a time (the installer's check port is fixed, so they cannot overlap).

Each case gets its own Xvfb display, its own Wine prefix (copied from a template made once), its own
publisher and its own output folder with screenshots and the publisher's log.
"""
import argparse
import fnmatch
import os
import shutil
import sys
import tempfile
import time
import traceback

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
    scratch = tempfile.mkdtemp(prefix="orvane-e2e.")
    suite = cases.Suite(repo, setup, publisher, package, args.output, scratch)
    results = []
    began = time.monotonic()
    try:
        print(f"e2e: preparing the Wine prefix template", flush=True)
        suite.make_template()
        for name, run in selected:
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
                    case.close(keep=args.keep)
            seconds = time.monotonic() - case_began
            figures = "" if case is None or not case.figures else " " + ", ".join(
                f"{k} {v}" for k, v in case.figures.items())
            status = "PASS" if error is None else "FAIL"
            if skipped is not None:
                status, figures = "SKIP", ": " + skipped
            print(f"e2e: {status} {name} ({seconds:.1f} s){figures}", flush=True)
            if error:
                print("      " + error.strip().replace("\n", "\n      "), flush=True)
            with open(os.path.join(args.output, name, "result.txt") if case else os.devnull, "w") as f:
                f.write(f"{status} {seconds:.1f} s{figures}\n{error or ''}\n")
            results.append(error is None)
    finally:
        if args.keep:
            print(f"e2e: prefixes kept in {scratch}")
        else:
            shutil.rmtree(scratch, ignore_errors=True)
    passed = sum(results)
    print(f"e2e: whole suite {time.monotonic() - began:.0f} s; output in {args.output}")
    print(f"{passed} passed (skipped ones included), {len(results) - passed} failed")
    return 0 if passed == len(results) else 1


if __name__ == "__main__":
    sys.exit(main())
