"""The disk-full case: a small installation, then a bigger, newer package into a roaming folder that
cannot hold both. A size-limited tmpfs mounted over the prefix's roaming folder makes the disk really
full; mounting needs root and CAP_SYS_ADMIN, and without them the case is skipped, never failed."""
import json
import os
import shutil
import subprocess
import time

import checks
from checks import expect, install_dir
from harness import MEASURE, InstallerWindow, Skip

BIG_FILE = 8 * 1024 * 1024  # what the newer package adds: incompressible, so it costs its full size


def tree_bytes(root):
    total = 0
    for dirpath, _, filenames in os.walk(root):
        total += sum(os.lstat(os.path.join(dirpath, f)).st_size for f in filenames)
    return total


def tree_contents(root):
    """{relative path: bytes, folders: None}: a byte-for-byte picture of a tree."""
    state = {}
    for dirpath, dirnames, filenames in os.walk(root):
        for name in dirnames:
            state[os.path.relpath(os.path.join(dirpath, name), root)] = None
        for name in filenames:
            with open(os.path.join(dirpath, name), "rb") as f:
                state[os.path.relpath(os.path.join(dirpath, name), root)] = f.read()
    return state


class SizedTmpfs:
    """A tmpfs of a given size mounted over folder, its former contents copied in; unmounted (and the
    folder's own contents visible again) by unmount(), which every exit path calls."""

    def __init__(self, folder, size):
        if os.geteuid() != 0:
            raise Skip("needs root (and CAP_SYS_ADMIN) to mount a size-limited tmpfs")
        self.folder = folder
        saved = folder + ".before-tmpfs"
        shutil.copytree(folder, saved, symlinks=True)
        result = subprocess.run(["mount", "-t", "tmpfs", "-o", f"size={size}", "tmpfs", folder],
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        if result.returncode != 0:
            shutil.rmtree(saved, ignore_errors=True)
            raise Skip(f"cannot mount a tmpfs (needs CAP_SYS_ADMIN): {result.stdout.strip()}")
        self.mounted = True
        for name in os.listdir(saved):
            source = os.path.join(saved, name)
            if os.path.isdir(source) and not os.path.islink(source):
                shutil.copytree(source, os.path.join(folder, name), symlinks=True)
            else:
                shutil.copy2(source, os.path.join(folder, name), follow_symlinks=False)
        shutil.rmtree(saved, ignore_errors=True)

    def free(self):
        st = os.statvfs(self.folder)
        return st.f_bavail * st.f_frsize

    def unmount(self):
        if not self.mounted:
            return
        for _ in range(20):
            if subprocess.run(["umount", self.folder], stderr=subprocess.DEVNULL).returncode == 0:
                self.mounted = False
                return
            time.sleep(0.5)
        # Still busy after ten seconds: detach it now, the kernel frees it once the last user is gone.
        subprocess.run(["umount", "-l", self.folder], stderr=subprocess.DEVNULL)
        self.mounted = False


def bigger_package(case):
    """The sample package with a newer version and one big file more, in the case's own folder."""
    package = os.path.join(case.suite.scratch, case.name + "-package")
    shutil.rmtree(package, ignore_errors=True)
    shutil.copytree(case.suite.package, package)
    manifest_path = os.path.join(package, "package.json")
    with open(manifest_path) as f:
        manifest = json.load(f)
    manifest["version"]["part4"] += 1
    with open(manifest_path, "w") as f:
        json.dump(manifest, f, indent=2)
    charts = next(m for m in manifest["modules"] if m["name"] == "charts")
    with open(os.path.join(package, charts["folder"], "charts", "data", "big-history.bin"), "wb") as f:
        f.write(os.urandom(BIG_FILE))
    return package


def run(case):
    wine = case.wine
    roaming = case.unix(wine.appdata())
    package = bigger_package(case)
    new_size = tree_bytes(package)
    # Room for the small installation and the whole download, but not for a second copy beside them.
    old_size = tree_bytes(case.suite.package)
    room = old_size + new_size + BIG_FILE // 2 + 2 * 1024 * 1024
    tmpfs = SizedTmpfs(roaming, room)
    try:
        case.figures["tmpfs (MiB)"] = round(room / 2 ** 20, 1)
        # The small installation, as a user would have it.
        from cases import close_failed, install, status_text_width, wait_failed  # cases imports this module
        install(case, "en_US.UTF-8", 1033, open_terminal=False)
        inst = case.installer
        inst.click(*InstallerWindow.CLOSE_GLYPH)
        expect(inst.wait_exit(60) == 0, "the first installer did not end with 0")
        case.publisher.stop()
        case.publisher = None

        folder = install_dir(wine)
        old_tree = tree_contents(case.unix(folder))
        key = f"{checks.UNINSTALL_PARENT}\\Orvane_{checks.PACKAGE_NO}v8.5"
        old_entry = wine.reg_query(key)
        link = case.unix(f"{wine.desktop()}\\{checks.PRODUCT}v8.5.lnk")
        with open(link, "rb") as f:
            old_link = f.read()
        case.figures["free before the second install (MiB)"] = round(tmpfs.free() / 2 ** 20, 1)
        expect(tmpfs.free() > new_size, "the download itself would not fit: the case is sized wrongly")
        expect(tmpfs.free() < 2 * new_size, "both copies would fit: the case is sized wrongly")

        # The newer, bigger package: it downloads, but its copy beside the old one cannot fit.
        suite_package = case.suite.package
        case.suite.package = package
        try:
            case.serve()
        finally:
            case.suite.package = suite_package
        inst = case.open_installer("en_US.UTF-8")
        started = time.monotonic()
        inst.click(*InstallerWindow.INSTALL_BUTTON)
        wait_failed(case, 300)
        expect(not inst.exited(), "the installer ended by itself")
        case.figures["press to Failed screen (s)"] = round(time.monotonic() - started, 2)
        inst.screenshot("5-disk-full-failed")
        width = status_text_width(inst)
        expect(0 < width <= MEASURE["failTextMaxWidth"],
               f"the status text is {width} px wide: not \"Install Fail\" alone")

        temp_log = case.unix(folder + "temp\\log\\install.log")
        log = open(temp_log, "rb").read() if os.path.exists(temp_log) else b""
        failed = [line for line in checks.log_lines(log) if line.endswith(b"Faile")]
        case.figures["failed"] = b", ".join(failed).decode("gbk", "replace")
        expect(any(line.endswith(b"OnDownloadComplete" + checks.COLON + step + b" Faile")
                   for line in failed for step in (b"Copy", b"CheckCopy")),
               f"no log line names the failed copy: {failed}")
        expect(tree_contents(case.unix(folder)) == old_tree, "the old installation is not what it was")
        expect(not os.path.exists(case.unix(folder + ".previous")), "the moved-aside folder is left behind")
        expect(wine.reg_query(key) == old_entry, "the uninstall entry changed")
        with open(link, "rb") as f:
            expect(f.read() == old_link, "the desktop link changed")

        close_failed(case)
        expect(tree_contents(case.unix(folder)) == old_tree, "the old installation changed at exit")
    finally:
        # Nothing of Wine may hold the mount when it goes.
        if case.installer:
            case.installer.stop()
        case.wine.stop()
        tmpfs.unmount()
        shutil.rmtree(package, ignore_errors=True)
