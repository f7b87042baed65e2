#!/usr/bin/env python3
"""The main job: serve the sample package with orvane-publisher on 127.0.0.1 and install it with
OrvaneSetup.exe under Wine, in a fresh Wine prefix of its own. The package's manifest is signed with the
sample key and the installer is the one built with the sample public key, so the install is checked.

On $DISPLAY when it is set, so a person can press Install and Open; otherwise on a private Xvfb, where it
presses Install, waits for Done, checks the install and presses Open by itself. Saves a screenshot of each
state, prints where the install went (folder, registry entry, desktop link) and stops everything it
started, by PID.
"""
import argparse
import os
import shutil
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import cases  # noqa: E402
import checks  # noqa: E402
from harness import Failure, wait_for  # noqa: E402

LANGUAGES = {"en_US.UTF-8": 1033, "zh_CN.UTF-8": 2052, "zh_TW.UTF-8": 1028, "zh_HK.UTF-8": 1028}


def report(case):
    wine = case.wine
    folder = checks.install_dir(wine)
    print(f"demo: install folder   {folder}")
    print(f"demo:   on this machine {case.unix(folder)} (kept only with --keep-prefix)")
    key = f"{checks.UNINSTALL_PARENT}\\Orvane_{checks.PACKAGE_NO}v8.5"
    values = wine.reg_query(key)
    print(f"demo: registry entry   {key}" + ("" if values is not None else " (missing)"))
    for name, (kind, data) in (values or {}).items():
        print(f"demo:   {name:16} {kind} {data}")
    link = case.unix(f"{wine.desktop()}\\{checks.PRODUCT}v8.5.lnk")
    if os.path.exists(link):
        target, workdir, _ = checks.read_link(link)
        print(f"demo: desktop link     {wine.desktop()}\\{checks.PRODUCT}v8.5.lnk -> {target} (in {workdir})")
    else:
        print("demo: desktop link     (missing)")
    print(f"demo: screenshots and publisher log in {case.out}")


def main():
    repo = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--windows-build", default=os.path.join(repo, "build", "windows"))
    parser.add_argument("--native-build", default=os.path.join(repo, "build", "native"))
    parser.add_argument("--output", default=os.path.join(repo, "build", "demo"))
    parser.add_argument("--lang", default="en_US.UTF-8", choices=sorted(LANGUAGES))
    parser.add_argument("--keep-prefix", action="store_true", help="keep the Wine prefix for inspection")
    args = parser.parse_args()

    setup = os.path.join(args.windows_build, "examples", "bin", "OrvaneSetupSample.exe")
    publisher = os.path.join(args.native_build, "publisher", "orvane-publisher")
    package = os.path.join(args.windows_build, "examples", "package")
    display = os.environ.get("DISPLAY") or None
    scratch = tempfile.mkdtemp(prefix="orvane-demo.")
    # The sample package with its manifest signed by the sample key, as a deployer publishes it.
    package = checks.signed_copy(publisher, package, os.path.join(scratch, "package"))
    suite = cases.Suite(repo, setup, publisher, package, os.path.dirname(os.path.abspath(args.output)), scratch,
                        display=display)
    case = None
    try:
        case = cases.Case(suite, os.path.basename(os.path.abspath(args.output)))
        case.serve()
        print(f"demo: publisher on 127.0.0.1:31711 (download {case.publisher.download[0]}:"
              f"{case.publisher.download[1]}), serving {package}")
        if display:
            inst = case.open_installer(args.lang)
            inst.screenshot("1-ready")
            print(f"demo: OrvaneSetupSample.exe (built with the sample key) is open on {display}: press Install, then Open")
            pri = case.unix(checks.install_dir(case.wine) + "\\config\\orvane.Default.pri")
            while not inst.exited():
                if os.path.exists(pri) and not os.path.exists(os.path.join(case.out, "3-done.png")):
                    time.sleep(0.5)
                    inst.screenshot("3-done")
                time.sleep(0.5)
        else:
            print("demo: OrvaneSetupSample.exe (OrvaneSetup built with the sample key) on a private display: "
                  "pressing Install, then Open")
            cases.install(case, args.lang, LANGUAGES[args.lang])
            log = open(case.unix(checks.install_dir(case.wine) + "\\log\\install.log"), "rb").read()
            checks.expect(b"CheckPackage" + checks.COLON + b"signed manifest Success" in log,
                          "the installer did not check the package's signature")
            print("demo: the package's signature (sample key) and every file checked before installing")
            print(f"demo: installed and checked; button press to Done {case.figures['press to Done (s)']} s")
            print("demo: the terminal started with its launch record "
                  f"{checks.install_dir(case.wine)}\\launch.txt")
        report(case)
        return 0
    except Failure as failure:
        print(f"demo: FAILED: {failure}", file=sys.stderr)
        if case:
            report(case)
        return 1
    finally:
        if case:
            case.close(keep=args.keep_prefix)
        if not args.keep_prefix:
            shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
