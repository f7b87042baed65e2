"""Unattended installs: OrvaneSetup.exe started with /quiet, as a software-distribution tool starts it on
many desks. Nothing may show or wait for a person, the install is the clicked one, and the exit code
says how it ended (app/exit_codes.h)."""
import os
import re
import select
import socket
import subprocess
import sys
import threading
import time

import cases  # the two modules use each other: only through attributes, at run time
import checks
from checks import expect, install_dir
from harness import CHECK_PORT, Failure, Publisher, wait_for

INSTALLED, UNREACHABLE, REFUSED, NOTHING_OFFERED, DOWNLOAD_FAILED, PACKAGE_REFUSED = 0, 20, 21, 22, 23, 24
BAD_LINE, ALREADY_RUNNING = 87, 1618
# A folder that does not exist yet, with names the system's code page (1252) cannot hold.
DEPLOY_LOG = "C:\\deploy\\\u65e5\u5fd7\\\u9648\u5fd7\u660e\\install.log"
BAD_LINE_LIMIT = 15  # seconds: Wine's start and nothing else; a prompt or a connection would take longer
ANOTHER_COPY = b"RunInstaller" + checks.COLON + b"Another copy is running"


def windows_path(unix_path):
    """A Unix path as Wine's Z: drive names it: log copies land in the case's output folder."""
    return "Z:" + unix_path.replace("/", "\\")


def visible_windows(wine):
    """Ids of every mapped window on the prefix's display (the root included); None when xdotool
    stalled. An unmapped window does not count: a hidden top-level still has one in Wine."""
    try:
        found = subprocess.run(["xdotool", "search", "--onlyvisible", "--name", ""], env=wine.env(),
                               stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True, timeout=30)
    except subprocess.TimeoutExpired:
        return None
    return set(found.stdout.split())


def window_owner(wine, window):
    """(title, program) of a window: the program is the Windows path its process was started with."""
    def ask(*args):
        try:
            return subprocess.run(["xdotool", *args, window], env=wine.env(), stdout=subprocess.PIPE,
                                  stderr=subprocess.DEVNULL, text=True, timeout=30).stdout.strip()
        except subprocess.TimeoutExpired:
            return ""
    pid = ask("getwindowpid")
    try:
        program = open(f"/proc/{pid}/cmdline", "rb").read().split(b"\0")[0].decode(errors="replace")
    except (OSError, ValueError):
        program = "?"
    return ask("getwindowname"), program


def titled_orvane(wine):
    """The first mapped window titled Orvane (the installer's, or its message box), or None."""
    found = subprocess.run(["xdotool", "search", "--onlyvisible", "--name", "^Orvane$"], env=wine.env(),
                           stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True, timeout=30)
    return (found.stdout.split() or [None])[0]


class QuietRun:
    """One run of an installer with a command line, started through cmd, which prints the whole exit
    code (wine's own status keeps only its low byte: 1618 would read as 82). Until it ends, a thread
    looks for any window mapped besides those there at the start."""

    def __init__(self, case, args, wine=None, exe=None, lang="en_US.UTF-8"):
        self.wine = wine or case.wine
        self.args = args
        baseline = None
        while baseline is None:
            baseline = visible_windows(self.wine)
        self.shown = {}  # window id: (title, program)
        self.began = time.monotonic()
        command = ["wine", "cmd", "/c", windows_path(exe or case.suite.setup_exe), *args, "&", "echo",
                   "exit=%errorlevel%"]
        self.proc = subprocess.Popen(command, env=self.wine.env(lang), stdout=subprocess.PIPE,
                                     stderr=subprocess.DEVNULL)
        case.others.append(self.proc)
        self.ended = None
        self.output = b""
        self.watcher = threading.Thread(target=self._watch, args=(baseline,), daemon=True)
        self.watcher.start()

    def _watch(self, baseline):
        while self.proc.poll() is None:
            now = visible_windows(self.wine)
            for window in (now or set()) - baseline - set(self.shown):
                self.shown[window] = window_owner(self.wine, window)
            time.sleep(0.1)

    def wait(self, timeout, windowless=True, allowed=()):
        """The installer's exit code, once it ended by itself within timeout seconds. windowless: no
        window was shown but those of the programs named in allowed (as "TalvikTradeSafe.exe")."""
        try:
            self.output, _ = self.proc.communicate(timeout=max(1, timeout - (time.monotonic() - self.began)))
        except subprocess.TimeoutExpired:
            raise Failure(f"{' '.join(self.args)}: still running after {timeout} s")
        self.ended = time.monotonic()
        self.watcher.join()
        m = re.search(rb"exit=(-?\d+)", self.output)
        expect(m is not None, f"{' '.join(self.args)}: no exit code from cmd: {self.output!r}")
        code = int(m.group(1))
        expect(self.proc.returncode == code & 0xFF, f"cmd ended with {self.proc.returncode}, the installer with {code}")
        if windowless:
            allowed = {name.lower() for name in allowed}
            shown = [w for w in self.shown.values() if w[1].split("\\")[-1].lower() not in allowed]
            expect(not shown, f"{' '.join(self.args)}: windows (title, program) shown: {shown}")
        return code

    def seconds(self):
        return round(self.ended - self.began, 2)


def log_copy(path, who):
    """The lines of a /log copy, which must be a whole log (time prefixes, CRLF, nothing else)."""
    expect(os.path.isfile(path), f"{who}: no log copy at {path}")
    data = open(path, "rb").read()
    holes = data.count(b"\0")
    expect(not holes, f"{who}: the log copy holds {holes} NUL bytes (emptied while it was written?)")
    return checks.log_lines(data)


class NoConnection:
    """Listens on the check port: any installer that starts an install connects here, and the connection
    waits in the backlog until taken. Bad command lines must leave it empty."""

    def __init__(self):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        wait_for(self._bind, 600, f"port {CHECK_PORT} to be free", interval=0.5)
        self.sock.listen(8)

    def _bind(self):
        try:
            self.sock.bind(("127.0.0.1", CHECK_PORT))
            return True
        except OSError:
            return False

    def connected(self):
        return bool(select.select([self.sock], [], [], 0)[0])

    def close(self):
        self.sock.close()


# What makes a command line bad, and the line. Without /quiet a message box names the problem.
BAD_LINES = [
    ("unknown switch", ("/quiet", "/bogus")),
    ("/log without a path", ("/quiet", "/log")),
    ("/log twice", ("/Q", "/log", "C:\\one.log", "-LOG", "C:\\two.log")),
    ("a log that cannot be written", ("-quiet", "/log", "C:\\placed.txt\\install.log")),
    ("unknown switch, shown", ("/bogus",)),
]


def bad_lines(case):
    """Each bad line ends with 87 at once, connects nowhere and changes nothing: no temporary folder, no
    log copy, no folder for one."""
    wine = case.wine
    placed = case.unix("C:\\placed.txt")
    open(placed, "wb").write(b"a file where the log's folder would be\r\n")
    drive_c = os.path.join(wine.prefix, "drive_c")
    before = checks.snapshot(drive_c)
    listener = NoConnection()
    try:
        for what, args in BAD_LINES:
            quiet = any(a.lower() in ("/quiet", "-quiet", "/q", "-q") for a in args)
            run = QuietRun(case, args)
            if not quiet:
                box = wait_for(lambda: titled_orvane(wine), BAD_LINE_LIMIT, f"{what}: the message box")
                time.sleep(0.3)
                wine_screenshot(case, "0-bad-line-box")
                subprocess.run(["xdotool", "windowfocus", box], env=wine.env(), check=True)
                time.sleep(0.3)
                subprocess.run(["xdotool", "key", "Return"], env=wine.env(), check=True)
            code = run.wait(BAD_LINE_LIMIT + 30, windowless=quiet)
            expect(code == BAD_LINE, f"{what}: exit code {code}, not {BAD_LINE}")
            expect(quiet or run.shown, f"{what}: no message box was shown")
            case.figures[f"{what} (s)"] = run.seconds()
            expect(run.seconds() < BAD_LINE_LIMIT, f"{what}: took {run.seconds()} s")
            expect(not listener.connected(), f"{what}: the installer connected to the service")
            changed = checks.changed_outside(before, checks.snapshot(drive_c))
            expect(not changed, f"{what}: changed {changed[:10]}")
    finally:
        listener.close()


def wine_screenshot(case, name):
    subprocess.run(["import", "-window", "root", os.path.join(case.out, name + ".png")], env=case.wine.env(),
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=30)


SLOW_LINK_MBIT = 2  # the sample package's download then takes about four seconds


def quiet_install(case):
    """Bad command lines first. Then /quiet /log with a Unicode log path, its download slowed by a link
    so that a second copy with the same command line (a distribution tool's retry) comes while it runs
    and ends with 1618: the first ends with 0, showed no window, installed what a pressed Install does
    (tree, log, uninstall entry, link), did not start the terminal, and its log copy holds the install
    log line for line. Then -Q -LAUNCH installs again and starts the terminal as Open does."""
    sys.path.insert(0, os.path.join(case.suite.repo, "scripts", "bench"))
    from link_emulator import Link
    from servers import free_port
    suite, wine = case.suite, case.wine
    bad_lines(case)
    link = Link(mbit=SLOW_LINK_MBIT)
    try:
        download = free_port()
        slow = link.route(download)
        case.serve("--download", f"127.0.0.1:{download}", "--advertise", f"127.0.0.1:{slow}")
        temp = case.unix(install_dir(wine) + "temp")
        args = ("/quiet", "/log", DEPLOY_LOG)
        run = QuietRun(case, args)
        wait_for(lambda: any(name != "install.log" for _, _, names in os.walk(temp) for name in names), 60,
                 "the quiet install's download to start", interval=0.05)
        second = QuietRun(case, args)
        code = second.wait(BAD_LINE_LIMIT + 30)
        case.figures["downloaded when the second copy ended (KiB)"] = link.down.bytes // 1024
        expect(code == ALREADY_RUNNING, f"a second copy during the quiet install ended with {code}")
        code = run.wait(180)
        expect(code == INSTALLED, f"/quiet ended with {code}")
    finally:
        link.close()
    case.figures["/quiet install over the slow link (s)"] = run.seconds()
    checks.check_tree(wine, suite.package, 1033)
    log = open(case.unix(install_dir(wine) + "\\log\\install.log"), "rb").read()
    checks.check_happy_log(log, wine, suite.package, slow)
    checks.check_registry(wine, suite.package)
    checks.check_link(wine)
    # The checks above take seconds: a terminal started at the end has written its record by now.
    time.sleep(max(0.0, run.ended + 3 - time.monotonic()))
    record = case.unix(install_dir(wine) + "\\launch.txt")
    expect(not os.path.exists(record), "/quiet started the terminal")

    case.publisher.stop()
    case.serve()
    run = QuietRun(case, ("-Q", "-LAUNCH"))
    code = run.wait(180, allowed=("TalvikTradeSafe.exe",))
    expect(code == INSTALLED, f"-Q -LAUNCH ended with {code}")
    case.figures["-Q -LAUNCH install (s)"] = run.seconds()
    wait_for(lambda: os.path.exists(record), 60, "the terminal to start")
    checks.check_launch(wine)
    checks.check_tree(wine, suite.package, 1033, extra_allowed=("launch.txt",))

    # Last, so that a broken copy hides none of the above. The second copy may add its one line.
    copy = [t for t in log_copy(case.unix(DEPLOY_LOG), "/quiet /log") if t != ANOTHER_COPY]
    expect(checks.ATTEMPTS_TAG + b"Attempt 1" in copy, "the log copy lacks the first attempt's line")
    expect(copy == checks.log_lines(log), "the log copy is not the install log line for line")


# The service's final answers; each run with a spelling of the switch and its log copied beside the
# case's output. The line names the failure; the package maker, when given, serves a signed package to
# the installer built with the sample key (a lambda: cases is still loading when this table is made).
QUIET_FAILURES = [
    ("login_refused", "/quiet", ("--test-refuse-login", "12"), None, REFUSED,
     b"ProcessCheck_OnLogin" + checks.COLON + b"Connect Faile"),
    ("nothing_on_offer", "/Q", ("--test-offer-nothing", "5"), None, NOTHING_OFFERED,
     b"ProcessCheck" + checks.COLON + b"ZynPublish_L_PkgUpdateCheck_Rsp"),
    ("hostile_reldir", "-quiet", ("--test-hostile-reldir",), None, DOWNLOAD_FAILED,
     b"ProcessDL" + checks.COLON + rb"Unsafe path \([^\r\n]*\) [^\r\n]* Faile"),
    ("package_changed", "-q", (), lambda case: cases.signed_then_changed(case), PACKAGE_REFUSED,
     b"CheckPackage" + checks.COLON + rb"file changed readme\.txt Faile"),
]


def quiet_failures(case):
    """A final answer ends a quiet install with its code, at its one attempt: nothing installed (the
    previous install as it was), the temporary folder gone, no window, and the log copy names why."""
    suite, wine = case.suite, case.wine
    cases.make_previous_install(case)
    drive_c = os.path.join(wine.prefix, "drive_c")
    before = checks.snapshot(drive_c)
    for name, switch, switches, make_package, want, line in QUIET_FAILURES:
        package = make_package(case) if make_package else suite.package
        if case.publisher:
            case.publisher.stop()
        case.publisher = Publisher(suite.publisher_exe, package, os.path.join(case.out, f"publisher-{name}.log"),
                                   switches)
        copy = os.path.join(case.out, f"{name}.log")
        run = QuietRun(case, (switch, "/log", windows_path(copy)),
                       exe=suite.signed_setup_exe if make_package else None)
        code = run.wait(120)
        case.figures[f"{name} (s)"] = run.seconds()
        expect(code == want, f"{name}: exit code {code}, not {want}")
        texts = log_copy(copy, name)
        _, tries = checks.attempts(texts, package, checks.log_text(install_dir(wine) + "temp"))
        expect(len(tries) == 1, f"{name}: {len(tries)} attempts, not 1")
        expect(any(re.fullmatch(line, t) for t in texts), f"{name}: the log copy lacks {line!r}")
        expect(not os.path.exists(case.unix(install_dir(wine) + "temp")), f"{name}: the temporary folder is left")
        changed = checks.changed_outside(before, checks.snapshot(drive_c))
        expect(not changed, f"{name}: changed {changed[:10]}")


def unreachable_beside(case):
    """Started beside a case that holds the check port closed, in a prefix and display of its own: a
    quiet install with no service gives up after the eight attempts with 20, its log copy whole, nothing
    installed. Returns the function that waits for it and checks; it runs while the case's own installer
    waits out the same attempts."""
    wine = case.extra_prefix("quiet")
    cases.make_previous_install(case, wine)
    drive_c = os.path.join(wine.prefix, "drive_c")
    before = checks.snapshot(drive_c)
    copy = os.path.join(case.out, "quiet-no-service.log")
    first = QuietRun(case, ("/quiet", "/log", windows_path(copy)), wine=wine)

    def finish():
        code = first.wait(200)
        case.figures["quiet, no service (s)"] = first.seconds()
        expect(code == UNREACHABLE, f"the quiet install with no service ended with {code}, not {UNREACHABLE}")
        texts = log_copy(copy, "quiet, no service")
        before_first, tries = checks.attempts(texts, case.suite.package, checks.log_text(install_dir(wine) + "temp"))
        expect(not before_first, f"log copy: lines before the first attempt: {before_first}")
        expect(len(tries) == checks.MAX_FAILED_IN_A_ROW and texts[-1] == checks.GAVE_UP,
               f"log copy: {len(tries)} attempts, last line {texts[-1]!r}")
        wrong = [(a.number, a.fault) for a in tries if a.fault != b"check connect"]
        expect(not wrong, f"attempts that failed otherwise than at the check connect: {wrong}")
        expect(not os.path.exists(wine.unix(install_dir(wine) + "temp")), "the temporary folder is left")
        changed = checks.changed_outside(before, checks.snapshot(drive_c))
        expect(not changed, f"the quiet install with no service changed {changed[:10]}")
    return finish


def second_copy_quiet(case):
    """A quiet copy started while another runs ends with 1618 at once, shows nothing and says so in its
    log copy."""
    copy = os.path.join(case.out, "second-copy.log")
    run = QuietRun(case, ("/quiet", "/log", windows_path(copy)))
    code = run.wait(BAD_LINE_LIMIT + 30)
    case.figures["quiet second copy (s)"] = run.seconds()
    expect(code == ALREADY_RUNNING, f"the quiet second copy ended with {code}, not {ALREADY_RUNNING}")
    expect(run.seconds() < BAD_LINE_LIMIT, f"the quiet second copy took {run.seconds()} s")
    expect(log_copy(copy, "quiet second copy") == [ANOTHER_COPY], "the quiet second copy's log copy")
