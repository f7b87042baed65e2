"""The end-to-end cases: each runs in its own Xvfb display and Wine prefix, against its own publisher."""
import json
import os
import re
import shutil
import subprocess
import sys
import time

import checks
import disk_full
import quiet
from checks import expect, install_dir
from harness import (COLOUR, MEASURE, RECT, Failure, InstallerWindow, PortHold, Publisher, WinePrefix, Xvfb,
                     wait_for, xywh)

BUTTON_FACES = (COLOUR["buttonFace"], COLOUR["buttonFaceHover"])
GLYPH_COLOURS = (COLOUR["glyph"], COLOUR["glyphHover"])
WHITE = (255, 255, 255)
BUTTON = RECT["button"]
PANEL_SPOT = (BUTTON[0] + 10, BUTTON[3] - 10)  # on the button face in Ready and Done, on the white panel otherwise
QUIET_SPOT = (100, 292)  # white panel below the progress bar: hovering there changes nothing


class Suite:
    def __init__(self, repo, setup_exe, publisher_exe, package, output, scratch, display=None):
        self.repo, self.setup_exe, self.publisher_exe = repo, setup_exe, publisher_exe
        self.package, self.output, self.scratch = package, output, scratch
        self.display = display  # a person's display for the demo; the suite makes its own per case
        self.template = None
        # The installer built with the sample public key (examples/bin); OrvaneSetup.exe has no key and
        # installs the package unchecked.
        self.signed_setup_exe = os.path.join(os.path.dirname(package), "bin", "OrvaneSetupSample.exe")

    def make_template(self):
        xvfb = Xvfb()
        try:
            wine = WinePrefix(os.path.join(self.scratch, "template"), xvfb.display, repo=self.repo)
        finally:
            xvfb.stop()
        self.template = wine.prefix


class Case:
    """One case's display, prefix, publisher and installer; close() stops each by its PID."""

    def __init__(self, suite, name):
        self.suite, self.name = suite, name
        self.out = os.path.join(suite.output, name)
        shutil.rmtree(self.out, ignore_errors=True)
        os.makedirs(self.out)
        self.xvfb = None if suite.display else Xvfb()
        display = suite.display or self.xvfb.display
        self.wine = WinePrefix(os.path.join(suite.scratch, name), display, template=suite.template, repo=suite.repo)
        self.publisher = None
        self.port_hold = None
        self.installer = None
        self.others = []
        self.extra = []  # (Xvfb, WinePrefix) pairs of extra_prefix
        self.figures = {}

    def serve(self, *switches):
        if not os.path.exists(self.suite.publisher_exe):
            raise Failure(f"missing {self.suite.publisher_exe}: build orvane-publisher")
        self.publisher = Publisher(self.suite.publisher_exe, self.suite.package,
                                   os.path.join(self.out, "publisher.log"), switches)

    def open_installer(self, lang="en_US.UTF-8"):
        self.installer = InstallerWindow(self.wine, self.suite.setup_exe, lang, self.out)
        return self.installer

    def start_program(self, windows_path):
        proc = self.wine.start(["wine", windows_path])
        self.others.append(proc)
        return proc

    def unix(self, windows_path):
        return self.wine.unix(windows_path)

    def extra_prefix(self, label):
        """A second prefix with a display of its own, for an installer that runs beside the case's own:
        the single-instance guard holds per prefix, and a window lookup sees only its own display."""
        xvfb = Xvfb()
        self.extra.append((xvfb, None))
        wine = WinePrefix(os.path.join(self.suite.scratch, f"{self.name}-{label}"), xvfb.display,
                          template=self.suite.template, repo=self.suite.repo)
        self.extra[-1] = (xvfb, wine)
        return wine

    def close(self, keep=False):
        if self.installer:
            self.installer.stop()
        self.wine.stop()
        for xvfb, wine in self.extra:
            if wine:
                wine.stop()
        for proc in self.others:
            if proc.poll() is None:
                proc.kill()
                proc.wait()
        if self.publisher:
            self.publisher.stop()
        if self.port_hold:
            self.port_hold.release()
        if self.xvfb:
            self.xvfb.stop()
        for xvfb, wine in self.extra:
            xvfb.stop()
            if wine and not keep:
                wine.remove()
        if not keep:
            self.wine.remove()


# Screens, told apart by a few pixels (the installer repaints only when the mouse moves over it).
STATUS = xywh(RECT["status"])  # the status line's rectangle as x, y, width, height
# Left of this the status line holds only a left-aligned line (the waiting line, or the file line while
# downloading); Failed's text is right-aligned and at most about 140 px wide, the percentage narrower.
STATUS_LEFT_PART = MEASURE["statusLeftPart"]


def classify(frame):
    panel, glyph = frame.at(*PANEL_SPOT), frame.at(*InstallerWindow.CLOSE_GLYPH)
    if any(max(abs(a - b) for a, b in zip(panel, face)) <= 8 for face in BUTTON_FACES):
        return "button"
    if panel != WHITE:
        return "other"
    if glyph not in GLYPH_COLOURS:
        return "updating"
    x, y, _, h = STATUS
    # The close glyph works both in Failed and while the next attempt is awaited; only the latter has
    # a line at the left of the status rectangle.
    return "waiting" if frame.dark_columns(x, y, STATUS_LEFT_PART - x, h) else "failed"


def screen(inst):
    inst.nudge(*QUIET_SPOT)
    # Every pixel from one picture of the window: separate reads could straddle a state change.
    frame = inst.frame()
    return None if frame is None else classify(frame)


def press_install_to_fail(inst):
    """Clicks Install where the install is to fail or wait, never to show a button again. On a loaded
    machine a click can be lost while Wine settles a new window: one that still shows its button 5 s
    later is clicked once more."""
    inst.click(*InstallerWindow.INSTALL_BUTTON)
    until = time.monotonic() + 5
    while time.monotonic() < until:
        if screen(inst) not in ("button", None):
            return
        time.sleep(0.2)
    print("e2e: note: the Install click showed nothing in 5 s; clicked again", flush=True)
    inst.click(*InstallerWindow.INSTALL_BUTTON)


def wait_failed(case, timeout):
    inst = case.installer
    try:
        return wait_for(lambda: inst.exited() or screen(inst) == "failed", timeout, "the Failed screen",
                        interval=0.2)
    except Failure:
        inst.screenshot("2-not-failed")
        raise


def make_previous_install(case, wine=None):
    """An earlier install with a file the package does not bring (in the case's prefix, or in wine)."""
    wine = wine or case.wine
    root = wine.unix(install_dir(wine))
    os.makedirs(os.path.join(root, "config"))
    with open(os.path.join(root, "readme.txt"), "wb") as f:
        f.write(b"an older readme\r\n")
    with open(os.path.join(root, "left-over.dat"), "wb") as f:
        f.write(b"from an earlier version\r\n")
    with open(os.path.join(root, "config", "orvane.Default.pub"), "wb") as f:
        f.write(b"[orvane]\r\npackage=000185\r\n")
    return root


def install(case, lang, language_id, open_terminal=True, extra_allowed=(), while_running=None,
            download_port=None, serve=True):
    """Serves the package (unless serve is false: then while_running starts the service), presses
    Install, waits for Done and checks the install; then Open. while_running(case) runs right after
    the press; download_port is the one the check service hands out, when not the publisher's own.
    Returns the time of Done (time.time()) and the install log's attempts."""
    suite, wine = case.suite, case.wine
    if case.publisher is None and serve:
        case.serve()
    inst = case.installer or case.open_installer(lang)
    inst.move(*InstallerWindow.INSTALL_BUTTON)
    time.sleep(0.3)
    inst.screenshot("1-ready")
    ready_button = inst.region(*xywh(BUTTON))
    pri = case.unix(install_dir(wine) + "\\config\\orvane.Default.pri")

    clicked = case.pressed = time.time()
    inst.click(*InstallerWindow.INSTALL_BUTTON)
    time.sleep(0.3)
    inst.nudge(*QUIET_SPOT)
    inst.screenshot("2-updating")
    if while_running:
        while_running(case)
    # The configuration files are the install's last step; Done follows at once with the "Open" caption.
    last_look = [time.monotonic()]

    def finished():
        if os.path.exists(pri) or inst.exited():
            return True
        if time.monotonic() - last_look[0] > 1.0:
            last_look[0] = time.monotonic()
            if screen(inst) == "failed":
                inst.screenshot("3-failed")
                raise Failure("the installer showed Failed instead of installing")
        return False

    wait_for(finished, 180, "the installation to finish", interval=0.05)
    expect(not inst.exited(), "the installer ended during the installation")
    wait_for(lambda: inst.region(*xywh(BUTTON)) not in (None, ready_button) and
             any(max(abs(a - b) for a, b in zip(inst.pixel(*PANEL_SPOT) or (0, 0, 0), face)) <= 8
                 for face in BUTTON_FACES), 30, "the Done screen", interval=0.05)
    # The configuration file's time stamp marks Done better than this loop can: its screenshots take
    # longer than the whole install.
    done = os.stat(pri).st_mtime
    case.figures["press to Done (s)"] = round(done - clicked, 2)
    inst.screenshot("3-done")

    checks.check_tree(wine, suite.package, language_id, extra_allowed)
    log = open(case.unix(install_dir(wine) + "\\log\\install.log"), "rb").read()
    tries = checks.check_happy_log(log, wine, suite.package, download_port or case.publisher.download[1])
    checks.check_registry(wine, suite.package, lang)
    checks.check_link(wine, lang)

    if open_terminal:
        inst.click(*InstallerWindow.INSTALL_BUTTON)
        code = inst.wait_exit(60)
        expect(code == 0, f"the installer ended with {code}")
        record = case.unix(install_dir(wine) + "\\launch.txt")
        wait_for(lambda: os.path.exists(record), 60, "the terminal to start")
        checks.check_launch(wine)
        time.sleep(1)
        inst.screenshot("4-terminal")
    return done, tries


def happy(lang, language_id):
    def run(case):
        install(case, lang, language_id)
    return run


def redirect_appdata(case, lang, profile):
    """Points the application-data folder at C:\\users\\<profile>\\AppData\\Roaming: User Shell Folders
    (and Shell Folders) written from a UTF-16 .reg file, so no command-line conversion bends the name on
    its way in."""
    wine = case.wine
    folder = f"C:\\users\\{profile}\\AppData\\Roaming"
    os.makedirs(wine.unix(folder), exist_ok=True)
    value = folder.replace("\\", "\\\\")
    explorer = "HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\Explorer"
    text = "Windows Registry Editor Version 5.00\r\n"
    for key in ("User Shell Folders", "Shell Folders"):
        text += f'\r\n[{explorer}\\{key}]\r\n"AppData"="{value}"\r\n'
    reg = os.path.join(wine.root, "appdata.reg")
    with open(reg, "wb") as f:
        f.write(b"\xff\xfe" + text.encode("utf-16-le"))
    result = wine.run(["wine", "regedit", "/S", "Z:" + reg.replace("/", "\\")], lang=lang)
    expect(result.returncode == 0, f"regedit ended with {result.returncode}")
    wine.appdata = lambda: folder
    return folder


def profile_name(lang, language_id, profile):
    """An install below a profile folder whose name the system's code page may not hold: files,
    log, uninstall entry, link and the started terminal all at the real folder, nothing beside it."""
    def run(case):
        folder = redirect_appdata(case, lang, profile)
        users = case.unix("C:\\users")
        before = set(os.listdir(users))
        install(case, lang, language_id)
        expect(set(os.listdir(users)) == before, f"folders made beside the profiles: {set(os.listdir(users)) - before}")
        beside = sorted(os.listdir(case.unix(folder)))
        expect(beside == [f"Orvane{checks.PACKAGE_NO}v8.5"], f"beside the install folder: {beside}")
    return run


def run_second_copy(case):
    """Starts another copy of the installer and expects it to end by itself with 0."""
    second = case.start_program(case.suite.setup_exe)
    try:
        code = second.wait(timeout=60)
    except subprocess.TimeoutExpired:
        raise Failure("the second copy did not end by itself")
    expect(code == 0, f"the second copy ended with {code}")


def second_copy_changes_nothing(case):
    """A second copy of the installer started while the first one runs (an impatient double-click) ends
    with 0 and changes nothing: the first one's temporary folder and open log stay, and it installs whole."""
    make_previous_install(case)
    case.serve()
    first = case.open_installer("en_US.UTF-8")
    drive_c = os.path.join(case.wine.prefix, "drive_c")
    before = checks.snapshot(drive_c)
    expect(os.path.exists(case.unix(install_dir(case.wine) + "temp\\log\\install.log")), "the first copy has no log")
    run_second_copy(case)
    quiet.second_copy_quiet(case)
    changed = checks.changed_outside(before, checks.snapshot(drive_c))
    expect(not changed, f"the second copy changed {changed[:10]}")
    expect(not first.exited(), "the first copy ended")
    install(case, "en_US.UTF-8", 1033, open_terminal=False)


def second_copy_during_download(case):
    """A second copy started while the first one downloads (the download slowed to 1 Mbit/s by a link
    between them) ends with 0 at once, and the first one installs whole: nothing of its temporary
    folder goes, and its log holds only its own lines."""
    sys.path.insert(0, os.path.join(case.suite.repo, "scripts", "bench"))
    from link_emulator import Link
    from servers import free_port
    make_previous_install(case)
    link = Link(mbit=1)
    try:
        download = free_port()
        slow = link.route(download)
        case.serve("--download", f"127.0.0.1:{download}", "--advertise", f"127.0.0.1:{slow}")
        temp = case.unix(install_dir(case.wine) + "temp")

        def second_copy(case):
            def downloading():
                return any(name != "install.log" for _, _, names in os.walk(temp) for name in names)
            wait_for(downloading, 60, "the first copy's download to start", interval=0.05)
            expect(link.down.bytes < 200_000, "the download was over before the second copy started")
            run_second_copy(case)
            expect(os.path.isdir(temp), "the second copy removed the first one's temporary folder")
            case.figures["downloaded when the second copy ended (KiB)"] = link.down.bytes // 1024

        install(case, "en_US.UTF-8", 1033, open_terminal=False, while_running=second_copy, download_port=slow)
    finally:
        link.close()


def reinstall_removes_extra(case):
    root = make_previous_install(case)
    install(case, "en_US.UTF-8", 1033)
    expect(not os.path.exists(os.path.join(root, "left-over.dat")), "the earlier install's extra file survived")


def running_terminal(case):
    """A terminal running from the install folder is stopped before the download; one elsewhere is not."""
    exe = os.path.join(case.suite.package, "modules", "terminal", "TalvikTradeSafe.exe")
    folder = install_dir(case.wine)
    other = case.wine.appdata() + "\\Orvane000185v8.4"
    for place in (folder, other):
        os.makedirs(case.unix(place), exist_ok=True)
        shutil.copyfile(exe, case.unix(place + "\\TalvikTradeSafe.exe"))
    inside = case.start_program(folder + "\\TalvikTradeSafe.exe")
    outside = case.start_program(other + "\\TalvikTradeSafe.exe")
    for place in (folder, other):
        wait_for(lambda: os.path.exists(case.unix(place + "\\launch.txt")), 60, f"the terminal in {place}")
    install(case, "en_US.UTF-8", 1033, open_terminal=False)
    expect(inside.poll() is not None, "the terminal running from the install folder was not stopped")
    expect(outside.poll() is None, "the terminal running from another folder was stopped")


def sign_installer(case, exe):
    """Signs exe as a release is signed (scripts/sign-installer.sh), with a certificate made for the case."""
    cert, key = os.path.join(case.out, "signer.pem"), os.path.join(case.out, "signer-key.pem")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", cert,
                    "-days", "2", "-subj", "/CN=Orvane test signer", "-addext", "extendedKeyUsage=codeSigning"],
                   check=True, capture_output=True)
    env = dict(os.environ, ORVANE_SIGN_CAFILE=cert)
    subprocess.run(["bash", os.path.join(case.suite.repo, "scripts", "sign-installer.sh"), exe, cert, key],
                   check=True, env=env, capture_output=True)


def planted_programs_not_run(case):
    """Started from a Downloads folder that also holds a cmd.exe and an xcopy.exe (the sample terminal,
    which records any start of itself beside itself): the install completes and neither of them runs.
    The downloaded installer is signed, as a release is: the signature costs it nothing under Windows."""
    downloads = case.unix(f"C:\\users\\{case.wine.user}\\Downloads")
    os.makedirs(downloads, exist_ok=True)
    setup = os.path.join(downloads, "OrvaneSetup.exe")
    shutil.copyfile(case.suite.setup_exe, setup)
    sign_installer(case, setup)
    terminal = os.path.join(case.suite.package, "modules", "terminal", "TalvikTradeSafe.exe")
    for name in ("cmd.exe", "xcopy.exe"):
        shutil.copyfile(terminal, os.path.join(downloads, name))
    make_previous_install(case)
    suite_setup = case.suite.setup_exe
    case.suite.setup_exe = setup
    try:
        install(case, "en_US.UTF-8", 1033, open_terminal=False)
    finally:
        case.suite.setup_exe = suite_setup
    expect(not os.path.exists(os.path.join(downloads, "launch.txt")), "a planted program in Downloads ran")


def uninstall_after_install(case):
    install(case, "en_US.UTF-8", 1033, open_terminal=False)
    inst = case.installer
    inst.click(*InstallerWindow.CLOSE_GLYPH)
    expect(inst.wait_exit(60) == 0, "the installer did not end with 0")
    folder = install_dir(case.wine)
    # Without /S it asks first; No is the default button, so Return answers No and nothing goes.
    asking = case.start_program(folder + "\\uninstall.exe")
    xdotool = ["xdotool", "search", "--name", "^Orvane Uninstall$"]
    question = wait_for(lambda: subprocess.run(xdotool, env=case.wine.env(), stdout=subprocess.PIPE, text=True,
                                               stderr=subprocess.DEVNULL).stdout.split(), 60,
                        "the uninstaller's question")[0]
    time.sleep(0.5)
    inst.screenshot("4-uninstall-question")
    # No window manager gives the box the keyboard: focus it, then press Return.
    subprocess.run(["xdotool", "windowfocus", question], env=case.wine.env(), check=True)
    time.sleep(0.3)
    subprocess.run(["xdotool", "key", "Return"], env=case.wine.env(), check=True)
    expect(asking.wait(timeout=60) == 1, f"answering No ended the uninstaller with {asking.returncode}")
    checks.check_tree(case.wine, case.suite.package, 1033)

    result = case.wine.run(["wine", folder + "\\uninstall.exe", "/S"], timeout=120)
    expect(result.returncode == 0, f"uninstall.exe /S ended with {result.returncode}")
    expect(not os.path.exists(case.unix(folder)), "the install folder is still there")
    key = f"{checks.UNINSTALL_PARENT}\\Orvane_{checks.PACKAGE_NO}v8.5"
    expect(case.wine.reg_query(key) is None, "the uninstall entry is still there")
    expect(not os.path.exists(case.unix(f"{case.wine.desktop()}\\{checks.PRODUCT}v8.5.lnk")),
           "the desktop link is still there")


def status_text_width(inst):
    """Width in pixels of the dark status text, right-aligned in the status rectangle."""
    _, _, w, h = STATUS
    frame = inst.region(*STATUS)
    expect(frame is not None, "no picture of the status text")
    columns = [x for x in range(w) for y in range(h)
               if max(frame[(y * w + x) * 3:(y * w + x) * 3 + 3]) < 128]
    return 0 if not columns else max(columns) - min(columns) + 1


def close_failed(case):
    """In Failed the button area does nothing; the close glyph ends the installer with 0 and the temporary
    folder goes with it."""
    inst = case.installer
    inst.click(*InstallerWindow.INSTALL_BUTTON)
    time.sleep(1.0)
    expect(not inst.exited() and screen(inst) == "failed", "a press on the button area changed something")
    inst.click(*InstallerWindow.CLOSE_GLYPH)
    code = inst.wait_exit(60)
    expect(code == 0, f"the installer ended with {code}")
    expect(not os.path.exists(case.unix(install_dir(case.wine) + "temp")), "the temporary folder is left behind")


def temp_log_attempts(case):
    """The temporary folder's install log (of an install not finished) as its lines and attempts."""
    path = case.unix(install_dir(case.wine) + "temp\\log\\install.log")
    expect(os.path.exists(path), "no install log in the temporary folder")
    texts = checks.log_lines(open(path, "rb").read())
    _, tries = checks.attempts(texts, case.suite.package, checks.log_text(install_dir(case.wine) + "temp"))
    return texts, tries


def failing(switches, serve=True, quick=False, log_lines=(), with_code=False, attempts=1, fault=None, limit=120,
            beside=None):
    """Ends in Failed; only the close glyph works; nothing outside the temporary folder changes and the
    previous install stays as it was. log_lines: lines the temporary folder's log must hold by then.
    with_code: the status text carries an error code ("Install Fail,Error Code:5"), so it is about twice
    as wide as "Install Fail" alone. attempts: how many attempts the log shows (a final answer costs one),
    each failed one ended by `fault` when given. limit: seconds from the press to Failed. beside(case),
    called once the installer is at work, starts what runs alongside and returns what checks it at the
    end."""
    def run(case):
        wine = case.wine
        make_previous_install(case)
        drive_c = os.path.join(wine.prefix, "drive_c")
        temp = os.path.relpath(case.unix(install_dir(wine) + "temp"), drive_c)
        before = checks.snapshot(drive_c)
        if serve:
            case.serve(*switches)
        else:
            case.port_hold = PortHold()
        inst = case.open_installer("en_US.UTF-8")
        inst.screenshot("1-ready")
        started = time.monotonic()
        if quick:
            # Timed to the log line, which comes before any look at the screen could.
            inst.click(*InstallerWindow.INSTALL_BUTTON)
        else:
            press_install_to_fail(inst)
        if quick:
            log = case.unix(install_dir(wine) + "temp\\log\\install.log")
            wait_for(lambda: os.path.exists(log) and b"Connect Faile" in open(log, "rb").read(), 30,
                     "the failed connect in the log", interval=0.02)
            case.figures["press to failed connect (s)"] = round(time.monotonic() - started, 2)
        finish = beside(case) if beside else None
        wait_failed(case, limit)
        expect(not inst.exited(), "the installer ended by itself")
        case.figures["press to Failed screen (s)"] = round(time.monotonic() - started, 2)
        inst.screenshot("2-failed")
        texts, tries = temp_log_attempts(case)
        for line in log_lines:
            expect(line in texts, f"the log lacks {line!r}")
        expect(len(tries) == attempts, f"the log shows {len(tries)} attempts, not {attempts}")
        if fault is not None:
            wrong = [(a.number, a.fault) for a in tries if a.fault not in (None, fault)]
            expect(not wrong, f"attempts that failed otherwise than by {fault!r}: {wrong}")
        width = status_text_width(inst)
        case.figures["status text width (px)"] = width
        if with_code:
            expect(width >= MEASURE["failTextWithCodeMinWidth"],
                   f"the status text is {width} px wide: no error code in it")
        else:
            expect(0 < width <= MEASURE["failTextMaxWidth"],
                   f"the status text is {width} px wide: not \"Install Fail\" alone")

        close_failed(case)
        changed = checks.changed_outside(before, checks.snapshot(drive_c), allowed=[temp])
        expect(not changed, f"changed outside the temporary folder: {changed[:10]}")
        if finish:
            finish()
    return run


def publisher_sent(case):
    """From the publisher's log (read once it has stopped and flushed it): the package's bytes and the
    bytes each download connection sent, in the order they closed."""
    case.publisher.stop()
    text = open(case.publisher.log_path, encoding="utf-8", errors="replace").read()
    package = re.search(r"serving package \S+ version \S+: \d+ modules, (\d+) bytes", text)
    expect(package is not None, "the publisher's log does not name the package's size")
    sent = [int(n) for n in re.findall(r" download#\d+ \S+ closed: .*\(\d+ bytes in, (\d+) bytes out\)$", text, re.M)]
    return int(package.group(1)), sent


def retried_install(switches, fault, second=None, open_terminal=False):
    """The service cuts its first connection of one kind (a test switch) and serves the next ones whole:
    the attempt that met the cut fails by `fault`, the second one completes, and the install is that of a
    happy one. second: the modules the second attempt asks for (those the first did not receive whole)."""
    def run(case):
        case.serve(*switches)
        _, tries = install(case, "en_US.UTF-8", 1033, open_terminal=open_terminal)
        expect(len(tries) == 2, f"the install took {len(tries)} attempts, not 2")
        expect(tries[0].fault == fault, f"the first attempt failed by {tries[0].fault!r}, not {fault!r}")
        if second is not None:
            expect(tries[1].requested == [name.encode() for name in second],
                   f"the second attempt asked for {tries[1].requested}, not {second}")
        package, sent = publisher_sent(case)
        case.figures["package file bytes"] = package
        case.figures["download bytes sent per connection (compressed)"] = "+".join(map(str, sent))
        case.figures["sent/package"] = round(sum(sent) / package, 3)
    return run


def dead_download_server(case):
    """The check service names a download server where nothing listens, then the live one (they take
    turns; probing is off, or it would stop naming the dead one after two failed probes, before the
    press): the first attempt fails at the download connect, the second installs."""
    sys.path.insert(0, os.path.join(case.suite.repo, "scripts", "bench"))
    from servers import free_port
    case.port_hold = dead = PortHold(0)
    live = free_port()
    case.serve("--download", f"127.0.0.1:{live}", "--advertise", f"127.0.0.1:{dead.port}",
               "--advertise", f"127.0.0.1:{live}", "--probe-seconds", "0")
    _, tries = install(case, "en_US.UTF-8", 1033, open_terminal=False, download_port=live)
    expect(len(tries) == 2, f"the install took {len(tries)} attempts, not 2")
    first = tries[0]
    expect(b"SocketSend_ip:127.0.0.1__port:%d" % dead.port in first.lines,
           f"the first attempt was not sent to the dead server: {first.lines}")
    expect(first.fault in (b"download connect", b"download connection lost") and first.requested is None,
           f"the first attempt failed by {first.fault!r}")


OUTAGE = 25  # seconds the service is away after the press


def outage(case):
    """No service at the press; it comes back on the same port 25 s later, while the installer waits
    between attempts, and the install completes."""
    case.port_hold = PortHold()
    back = []

    def come_back(case):
        time.sleep(max(0.0, case.pressed + OUTAGE - time.time()))
        # Between attempts (each a refused connect, over in milliseconds) the installer waits.
        waiting = wait_for(lambda: waiting_frame(case.installer), 2, "the waiting screen", interval=0.05)
        waiting.save_png(os.path.join(case.out, "2-waiting.png"))
        case.port_hold.release()
        case.port_hold = None
        case.serve()
        back.append(time.time())

    done, tries = install(case, "en_US.UTF-8", 1033, open_terminal=False, while_running=come_back, serve=False)
    case.figures["service back to Done (s)"] = round(done - back[0], 2)
    case.figures["attempts"] = len(tries)
    expect(len(tries) >= 3, f"only {len(tries)} attempts in a {OUTAGE} s outage")
    wrong = [(a.number, a.fault) for a in tries[:-1] if a.fault != b"check connect"]
    expect(not wrong, f"attempts during the outage that failed otherwise than at the check connect: {wrong}")


WAITING_LANGUAGES = ("en_US.UTF-8", "zh_CN.UTF-8", "zh_TW.UTF-8")


def banner_drawn(frame):
    """The Updating picture's white banner line ("Updating, please wait..."), which Failed lacks."""
    left, top, right, bottom = RECT["busyText"]
    return sum(1 for bx in range(left, right) for by in range(top, bottom) if min(frame.at(bx, by)) > 230) >= 50


def line_pixels(frame, right):
    """The status line's pixels from its left edge to x = right."""
    x, y, _, h = STATUS
    return b"".join(bytes(frame.at(cx, cy)) for cy in range(y, y + h) for cx in range(x, right))


def waiting_frame(inst):
    frame = inst.frame()
    return frame if frame is not None and classify(frame) == "waiting" else None


def waiting_screens(case):
    """With no service, in each language: during a wait between attempts the Updating picture shows the
    waiting line at the left of the status line, its seconds count down and the close glyph is drawn;
    clicking it ends the installer with 0 and takes the temporary folder with it, and nothing else
    changed."""
    wine = case.wine
    drive_c = os.path.join(wine.prefix, "drive_c")
    before = checks.snapshot(drive_c)
    case.port_hold = PortHold()
    log = case.unix(install_dir(wine) + "temp\\log\\install.log")
    x, y, _, h = STATUS
    lines = {}
    for lang in WAITING_LANGUAGES:
        short = lang.split(".")[0]
        inst = case.open_installer(lang)
        inst.click(*InstallerWindow.INSTALL_BUTTON)
        # The first wait of 3 s or more (the third, or else the fourth): time for two pictures 1.5 s
        # apart (the line is redrawn up to 0.2 s late, so its seconds change within that) and the click.
        wait_for(lambda: os.path.exists(log) and any(float(v) >= 3.0 for v in
                                                     re.findall(rb"Retry in (\d+\.\d) s", open(log, "rb").read())),
                 40, "a wait of 3 s or more", interval=0.05)
        # The wait is logged just before the window is redrawn for it.
        first = wait_for(lambda: waiting_frame(inst), 2, "the waiting screen", interval=0.05)
        first.save_png(os.path.join(case.out, f"waiting-{short}.png"))
        time.sleep(1.5)
        second = inst.frame()
        for frame in (first, second):
            expect(frame is not None and classify(frame) == "waiting" and banner_drawn(frame),
                   f"{short}: not the waiting screen (see waiting-{short}.png)")
        columns = first.dark_columns(x, y, MEASURE["percentLeft"] - x, h)  # left of the percentage
        width = columns[-1] - columns[0] + 1
        case.figures[f"waiting line {short} (px)"] = width
        expect(columns[0] <= x + 4 and width >= MEASURE["waitingLineMinWidth"],
               f"{short}: the waiting line is {width} px from x={columns[0]}")
        expect(line_pixels(first, MEASURE["percentLeft"]) != line_pixels(second, MEASURE["percentLeft"]),
               f"{short}: the countdown did not move in 1.5 s")
        # The first words, before the seconds: they tell the languages apart.
        lines[short] = line_pixels(first, x + 40)
        inst.click(*InstallerWindow.CLOSE_GLYPH)
        code = inst.wait_exit(30)
        expect(code == 0, f"{short}: the installer ended with {code} after the close glyph")
        expect(not os.path.exists(case.unix(install_dir(wine) + "temp")),
               f"{short}: the temporary folder is left behind")
    expect(len(set(lines.values())) == len(lines), "two languages drew the same waiting line")
    changed = checks.changed_outside(before, checks.snapshot(drive_c))
    expect(not changed, f"changed by installers cancelled while waiting: {changed[:10]}")


def tampered_packages(case):
    """The installer built with the sample key installs the signed package; then, in the same prefix,
    every change between signing and installing ends in Failed with one log line naming the check, the
    installation as it was byte for byte, the temporary folder gone and the terminal not started."""
    suite, wine = case.suite, case.wine
    signed = checks.signed_copy(suite.publisher_exe, suite.package, os.path.join(suite.scratch, case.name + "-signed"))
    manifest = checks.manifest_path(signed)
    saved = suite.package, suite.setup_exe
    suite.package, suite.setup_exe = signed, suite.signed_setup_exe
    try:
        case.serve()
        install(case, "en_US.UTF-8", 1033, open_terminal=False)
        log = open(case.unix(install_dir(wine) + "\\log\\install.log"), "rb").read()
        expect(b"CheckPackage" + checks.COLON + b"signed manifest Success" in log, "the install was not checked")
        case.installer.click(*InstallerWindow.CLOSE_GLYPH)
        expect(case.installer.wait_exit(60) == 0, "the installer did not end with 0")
    finally:
        suite.package, suite.setup_exe = saved
    root = case.unix(install_dir(wine))
    installed = {path: open(os.path.join(root, path), "rb").read() for path in checks.actual_tree(root)[0]}

    other_key = os.path.join(suite.scratch, case.name + "-other.key")
    if not os.path.exists(other_key):
        subprocess.run(["minisign", "-G", "-W", "-p", other_key + ".pub", "-s", other_key], check=True,
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def edit_json(folder, change):
        path = os.path.join(folder, "package.json")
        data = checks.read_manifest(folder)
        change(data)
        with open(path, "w") as f:
            json.dump(data, f)

    def resign_as(folder, change):
        """A manifest written for a package.json changed by `change`, signed, then served as it was."""
        original = open(os.path.join(folder, "package.json"), "rb").read()
        edit_json(folder, change)
        checks.sign_package(suite.publisher_exe, folder)
        with open(os.path.join(folder, "package.json"), "wb") as f:
            f.write(original)

    def flip(path, at=0):
        data = bytearray(open(path, "rb").read())
        data[at] ^= 1
        open(path, "wb").write(bytes(data))

    module = os.path.dirname(manifest)
    variants = [
        ("changed_byte", b"file changed readme.txt", lambda d: flip(os.path.join(d, rel(module, "readme.txt")))),
        ("added_file", b"file not listed charts\\extra.dat",
         lambda d: open(os.path.join(d, "modules", "charts", "charts", "extra.dat"), "wb").write(b"extra")),
        ("removed_file", b"file missing server\\server.cfg",
         lambda d: os.remove(os.path.join(d, "modules", "server", "server", "server.cfg"))),
        ("changed_manifest", b"bad signature orvane.manifest",
         lambda d: flip(os.path.join(d, rel(module, "orvane.manifest")), 100)),
        ("other_key", b"signed by an untrusted key orvane.manifest.minisig",
         lambda d: checks.sign_package(suite.publisher_exe, d, other_key)),
        ("no_signature", b"no signature orvane.manifest.minisig",
         lambda d: os.remove(os.path.join(d, rel(module, "orvane.manifest.minisig")))),
        ("other_package", b"manifest of another package orvane.manifest",
         lambda d: resign_as(d, lambda j: j.update(package="000186"))),
        ("older_version", b"older than the installed version orvane.manifest",
         lambda d: (edit_json(d, lambda j: j["version"].update(part4=j["version"]["part4"] - 1)),
                    checks.sign_package(suite.publisher_exe, d))),
        ("truncated_signature", b"bad signature orvane.manifest.minisig",
         lambda d: truncate(os.path.join(d, rel(module, "orvane.manifest.minisig")))),
    ]
    for name, verdict, tamper in variants:
        folder = os.path.join(suite.scratch, f"{case.name}-{name}")
        shutil.rmtree(folder, ignore_errors=True)
        shutil.copytree(signed, folder)
        tamper(folder)
        case.publisher.stop()
        case.publisher = Publisher(suite.publisher_exe, folder, os.path.join(case.out, f"publisher-{name}.log"))
        inst = case.installer = InstallerWindow(wine, suite.signed_setup_exe, "en_US.UTF-8", case.out)
        press_install_to_fail(inst)
        wait_failed(case, 120)
        inst.screenshot(f"4-{name}-failed")
        temp_log = case.unix(install_dir(wine) + "temp\\log\\install.log")
        lines = checks.log_lines(open(temp_log, "rb").read())
        verdicts = [t for t in lines if t.startswith(b"CheckPackage" + checks.COLON)]
        expect(verdicts == [b"CheckPackage" + checks.COLON + verdict + b" Faile"],
               f"{name}: the log's package check says {verdicts}, not {verdict!r}")
        close_failed(case)
        now = {path: open(os.path.join(root, path), "rb").read() for path in checks.actual_tree(root)[0]}
        expect(now == installed, f"{name}: the installation changed")
        expect(not os.path.exists(os.path.join(root, "launch.txt")), f"{name}: the terminal was started")


def rel(module, name):
    """A file of the manifest's module folder, relative to the package folder."""
    parts = module.split(os.sep)
    return os.path.join(*parts[parts.index("modules"):], name)


def truncate(path):
    data = open(path, "rb").read()
    open(path, "wb").write(data[:len(data) - 20])


REPAINT_LIMIT = 2.0  # seconds from a failure's log line to the Failed screen, with no mouse move


def failure_drawn(frame):
    """The Failed screen: the close glyph, nothing at the left of the status line and "Install Fail"
    alone at its right edge."""
    if classify(frame) != "failed":
        return False
    x, y, w, h = STATUS
    columns = frame.dark_columns(STATUS_LEFT_PART, y, x + w - STATUS_LEFT_PART, h)
    return (bool(columns) and columns[-1] >= x + w - 8 and
            columns[-1] - columns[0] + 1 <= MEASURE["failTextMaxWidth"])


def signed_then_changed(case):
    """The sample package signed, then a byte of its readme.txt changed."""
    suite = case.suite
    folder = checks.signed_copy(suite.publisher_exe, suite.package, os.path.join(suite.scratch, case.name + "-changed"))
    path = os.path.join(os.path.dirname(checks.manifest_path(folder)), "readme.txt")
    data = bytearray(open(path, "rb").read())
    data[0] ^= 1
    open(path, "wb").write(bytes(data))
    return folder


# name, publisher switches, the package served (None: the sample one, to the installer without keys;
# else made by the function, to the one with the sample key), the failure's log line.
UNMOVED_FAILURES = [
    ("login", ("--test-refuse-login", "12"), None, b"ProcessCheck_OnLogin" + checks.COLON + b"Connect Faile"),
    ("download", ("--test-hostile-reldir",), None,
     b"ProcessDL" + checks.COLON + rb"Unsafe path \([^\r\n]*\) [^\r\n]* Faile"),
    ("package", (), signed_then_changed, b"CheckPackage" + checks.COLON + rb"file changed readme\.txt Faile"),
]


def failure_shows_without_mouse_move(case):
    """A trader presses Install and leaves the mouse alone. For a refused login, a download refused for
    good and a package changed after signing, the Failed screen is on the window within REPAINT_LIMIT s
    of the failure's log line, read with the pointer where the press left it, and it is the picture a
    mouse move draws; the close glyph then ends the installer with 0 and the temporary folder goes."""
    suite, wine = case.suite, case.wine
    temp = case.unix(install_dir(wine) + "temp")
    log = os.path.join(temp, "log", "install.log")

    def logged_text():
        try:
            return open(log, "rb").read()
        except FileNotFoundError:
            return b""

    for name, switches, make_package, marker in UNMOVED_FAILURES:
        package = make_package(case) if make_package else suite.package
        if case.publisher:
            case.publisher.stop()
        case.publisher = Publisher(suite.publisher_exe, package, os.path.join(case.out, f"publisher-{name}.log"),
                                   switches)
        exe = suite.signed_setup_exe if make_package else suite.setup_exe
        inst = case.installer = InstallerWindow(wine, exe, "en_US.UTF-8", case.out)
        line = re.compile(rb"\t\t" + marker + rb"\r\n")
        # The dialog acts on the button's press. Its release waits until after the looks: no mouse input
        # at all reaches the window between the press and the failure, so none can make it repaint.
        inst.press(*InstallerWindow.INSTALL_BUTTON)
        pressed = time.monotonic()
        where = inst.pointer()
        logged = None
        while True:
            now = time.monotonic()
            if logged is None and line.search(logged_text()):
                logged = now
            frame = inst.frame()
            looked = time.monotonic()
            if frame is not None and failure_drawn(frame):
                break
            expect(not inst.exited(), f"{name}: the installer ended by itself")
            waited = now - (pressed if logged is None else logged)
            if waited > (120 if logged is None else REPAINT_LIMIT):
                seen = "nothing" if frame is None else classify(frame)
                if frame is not None:
                    frame.save_png(os.path.join(case.out, f"not-failed-without-move-{name}.png"))
                raise Failure(f"{name}: the window shows {seen}, not Failed, " +
                              (f"{REPAINT_LIMIT} s after the failure was logged" if logged is not None else
                               "and no failure logged 120 s after the press"))
            time.sleep(0.05)
        # The line is written before the repaint: when the look came first, it was logged after `now`.
        expect(line.search(logged_text()), f"{name}: Failed without the log line {marker!r}")
        case.figures[f"{name}: log line to Failed screen (s)"] = round(looked - (logged or now), 2)
        frame.save_png(os.path.join(case.out, f"failed-without-move-{name}.png"))
        expect(where is not None and inst.pointer() == where, f"{name}: the pointer moved from {where}")
        inst.release()
        inst.nudge(*QUIET_SPOT)
        moved = inst.frame()
        if moved is None or moved.data != frame.data:
            if moved is not None:
                moved.save_png(os.path.join(case.out, f"failed-after-move-{name}.png"))
            raise Failure(f"{name}: a mouse move changed the Failed screen (see failed-after-move-{name}.png)")
        inst.click(*InstallerWindow.CLOSE_GLYPH)
        code = inst.wait_exit(60)
        expect(code == 0, f"{name}: the installer ended with {code} after the close glyph")
        expect(not os.path.exists(temp), f"{name}: the temporary folder is left behind")


# The cases that take longest (a minute and more, or half of one), started first when several run at once.
LONGEST = ("no_service", "signed_package_tampered", "garbage_from_service", "outage_25s",
           "reinstall_removes_extra_file", "quiet_install")

CASES = [
    ("happy_en_US", happy("en_US.UTF-8", 1033)),
    ("happy_zh_CN", happy("zh_CN.UTF-8", 2052)),
    ("happy_zh_TW", happy("zh_TW.UTF-8", 1028)),
    ("happy_zh_HK", happy("zh_HK.UTF-8", 1028)),
    # 許 is B3 5C in Big5: its trail byte is a backslash in the system's own code page.
    ("profile_big5_trail_byte_zh_TW", profile_name("zh_TW.UTF-8", 1028, "\u8a31\u529f\u84cb")),
    ("profile_accented_en_US", profile_name("en_US.UTF-8", 1033, "J\u00fcrgen M\u00fcller")),
    ("profile_chinese_zh_CN", profile_name("zh_CN.UTF-8", 2052, "\u9648\u5fd7\u660e")),
    ("profile_korean_zh_CN", profile_name("zh_CN.UTF-8", 2052, "\uae40\ubbfc\uc900")),
    ("reinstall_removes_extra_file", reinstall_removes_extra),
    ("second_copy_changes_nothing", second_copy_changes_nothing),
    ("second_copy_during_download", second_copy_during_download),
    ("running_terminal_stopped", running_terminal),
    # Gone for good: eight attempts (about 100 s of waits between them), then Failed; a quiet install in
    # a prefix of its own waits them out alongside and ends with its code.
    ("no_service", failing((), serve=False, quick=True, attempts=checks.MAX_FAILED_IN_A_ROW, fault=b"check connect",
                           limit=150, log_lines=(b"OnButtonClick" + checks.COLON + b"Connect Faile", checks.GAVE_UP),
                           beside=quiet.unreachable_beside)),
    # A connection cut once, a dead download server, an outage: retried until the install completes.
    # 29 download messages in all; the first module (terminal) takes the first 18, 80 % of the bytes.
    ("dropped_mid_download", retried_install(("--test-drop-after", "20", "--test-drop-times", "1"),
                                             b"download connection lost", ("charts", "config", "server"),
                                             open_terminal=True)),
    # About 40 %: inside the first module, whose partly written files the next attempt writes anew.
    ("dropped_in_first_module", retried_install(("--test-drop-after", "12", "--test-drop-times", "1"),
                                                b"download connection lost",
                                                ("terminal", "charts", "config", "server"))),
    ("check_closed_after_login", retried_install(("--test-close-after-login", "--test-drop-times", "1"),
                                                 b"check connection lost")),
    ("dead_download_server", dead_download_server),
    ("outage_25s", outage),
    ("waiting_screens", waiting_screens),
    # The service's own answers, and what would only happen again, are final: one attempt.
    ("login_refused", failing(("--test-refuse-login", "12"),
                              log_lines=(b"ProcessCheck_OnLogin" + checks.COLON + b"Connect Faile",))),
    ("nothing_on_offer_code_5", failing(("--test-offer-nothing", "5"), with_code=True, log_lines=(
        b"ProcessCheck" + checks.COLON + b"ZynPublish_L_PkgUpdateCheck_Rsp",))),
    ("garbage_from_service", failing(("--test-garbage",))),
    ("hostile_reldir", failing(("--test-hostile-reldir",))),
    ("failure_shows_without_mouse_move", failure_shows_without_mouse_move),
    ("planted_programs_not_run", planted_programs_not_run),
    ("uninstall_after_install", uninstall_after_install),
    ("disk_full_keeps_previous_install", disk_full.run),
    ("signed_package_tampered", tampered_packages),
    ("quiet_install", quiet.quiet_install),
    ("quiet_failures", quiet.quiet_failures),
]
