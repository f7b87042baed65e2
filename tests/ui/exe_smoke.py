#!/usr/bin/env python3
"""Tests that OrvaneSetup.exe opens its window titled Orvane, of the size app/dialog_shapes.json gives, on the
display, photographs it, and ends with exit code 0 when its close glyph is clicked, leaving the install log
below %APPDATA%; and that after a failed install the close removes the temporary folder.

Usage: exe_smoke.py <OrvaneSetup.exe> <output folder>. Runs inside scripts/wine-env.sh (its WINEPREFIX,
HOME and DISPLAY), with scripts/e2e on PYTHONPATH.
"""
import os
import sys
import time

from harness import COLOUR, RECT, SIZE, Failure, InstallerWindow, WinePrefix

AWAY = (100, 100)  # over the picture: neither the button nor the glyph is hovered
ON_FACE = (RECT["button"][0] + 5, InstallerWindow.INSTALL_BUTTON[1])  # the button's face beside its caption


def close(installer):
    installer.click(*InstallerWindow.CLOSE_GLYPH)
    status = installer.wait_exit(60)
    if status != 0:
        raise Failure(f"exit code {status}")


def run(exe, out):
    wine = WinePrefix.from_environment()
    temp_dir = wine.unix(wine.appdata() + "\\Orvane000185v8.5temp")
    log_path = os.path.join(temp_dir, "log", "install.log")

    installer = InstallerWindow(wine, exe, None, out)
    try:
        size = installer.size()
        if size != (SIZE["dialogWidth"], SIZE["dialogHeight"]):
            raise Failure(f"window is {size}, not {SIZE['dialogWidth']}x{SIZE['dialogHeight']}")
        installer.move(*AWAY)
        time.sleep(0.5)
        shot = installer.screenshot("screen-ready")
        face = installer.pixel(*ON_FACE)
        if face != COLOUR["buttonFace"]:
            raise Failure(f"button face is {face}")
        glyph = installer.pixel(*InstallerWindow.CLOSE_GLYPH)
        if glyph != COLOUR["glyph"]:
            raise Failure(f"close glyph is {glyph}")
        close(installer)
    finally:
        installer.stop()
    if not os.path.isfile(log_path):
        raise Failure(f"no install log in {temp_dir}")
    print(f"exe_smoke: Ready screen in {shot}; closed with exit code 0; log at {log_path}")

    # The install button: with no service to reach the dialog fails; the close then removes TempDir.
    installer = InstallerWindow(wine, exe, None, out)
    try:
        installer.click(*InstallerWindow.INSTALL_BUTTON)
        time.sleep(3)
        installer.move(*AWAY)
        time.sleep(0.5)
        shot = installer.screenshot("screen-after-install")
        log = b""
        if os.path.isfile(log_path):
            with open(log_path, "rb") as f:
                log = f.read()
        close(installer)
    finally:
        installer.stop()
    if b"Connect Faile" in log:
        if os.path.exists(temp_dir):
            raise Failure("TempDir left after a failed install")
        print(f"exe_smoke: failed install screen in {shot}; TempDir removed at close")


def main(argv):
    if len(argv) != 2:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    exe, out = argv
    out = os.environ.get("ORVANE_TEST_OUTPUT", out)
    os.makedirs(out, exist_ok=True)
    try:
        run(exe, out)
    except Failure as failure:
        print(f"exe_smoke: {failure}")
        return 1
    print("exe_smoke: passed")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
