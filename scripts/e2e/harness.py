"""Processes an end-to-end run starts, each stopped by the PID it was started with: a private Xvfb, a
private Wine prefix (its wineserver stopped with that prefix only), the publisher, the installer window.
"""
import json
import os
import queue
import re
import shutil
import signal
import socket
import subprocess
import struct
import threading
import time
import zlib

CHECK_PORT = 31711  # compiled into the installer
DEVNULL = subprocess.DEVNULL


def _dialog_face():
    """The dialog's face as the installer is built with it (app/dialog_shapes.json): its sizes, its
    rectangles as (left, top, right, bottom), its colours as (r, g, b) and the widths the cases measure."""
    path = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, os.pardir, "app",
                        "dialog_shapes.json")
    with open(path, encoding="utf-8") as f:
        face = json.load(f)
    return [{k: kind(v) for k, v in face[name].items() if not k.startswith("_")}
            for name, kind in (("sizes", int), ("rects", tuple), ("colours", tuple), ("measures", int))]


SIZE, RECT, COLOUR, MEASURE = _dialog_face()


def centre(rect):
    left, top, right, bottom = rect
    return (left + right) // 2, (top + bottom) // 2


def xywh(rect):
    """A rectangle as region() and Frame.dark_columns() take it: x, y, width, height."""
    left, top, right, bottom = rect
    return left, top, right - left, bottom - top


class Failure(Exception):
    """A check of a case did not hold."""


class Skip(Exception):
    """The case cannot run on this machine (for example it needs root); it neither passes nor fails."""


def wait_for(predicate, timeout, what, interval=0.1):
    """Polls until predicate() gives a true value; a guard against hangs, never a measurement."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() > deadline:
            raise Failure(f"gave up after {timeout:.0f} s waiting for {what}")
        time.sleep(interval)


def stop_process(proc, grace=5.0):
    """Ends a process we started: SIGTERM, then SIGKILL after the grace period. Returns its exit status."""
    if proc is None or proc.poll() is not None:
        return None if proc is None else proc.returncode
    try:
        proc.send_signal(signal.SIGTERM)
        return proc.wait(timeout=grace)
    except subprocess.TimeoutExpired:
        proc.kill()
        return proc.wait(timeout=grace)


class MissingLocale(Failure):
    """A run asked for a language whose locale this machine lacks: Wine would convert file names and
    arguments through the C locale, and the run would pass or fail for the wrong reason."""


def installed_locales():
    result = subprocess.run(["locale", "-a"], stdout=subprocess.PIPE, stderr=DEVNULL, text=True)
    return {name.lower().replace("utf-8", "utf8") for name in result.stdout.split()}


def require_locale(lang):
    """Refuses a language (\"zh_HK.UTF-8\") that locale -a does not list; C and POSIX always exist."""
    if not lang or lang.split(".")[0] in ("C", "POSIX"):
        return
    if lang.lower().replace("utf-8", "utf8") not in installed_locales():
        raise MissingLocale(f"locale {lang} is not installed on this machine (see locale -a); "
                            "run scripts/setup.sh, which generates the locales the Wine runs use")


def port_is_free(port, address="127.0.0.1"):
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        try:
            s.bind((address, port))
            return True
        except OSError:
            return False


# Other test runs on this machine may use the fixed check port too: wait for it rather than fail.
PORT_WAIT = 600


class PortHold:
    """Holds the check port (or, with port 0, a free one: self.port) bound but not listening, so
    connections to it are refused at once and no other process can start listening there while a case
    expects no service."""

    def __init__(self, port=CHECK_PORT, address="127.0.0.1"):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)

        def bound():
            try:
                self.sock.bind((address, port))
                return True
            except OSError:
                return False

        wait_for(bound, PORT_WAIT, f"port {port} to be free", interval=0.5)
        self.port = self.sock.getsockname()[1]

    def release(self):
        self.sock.close()


class Xvfb:
    """A private X display; the server picks a free display number itself."""

    def __init__(self):
        read_end, write_end = os.pipe()
        self.proc = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1280x1024x24", "-nolisten", "tcp"],
            pass_fds=(write_end,), stdout=DEVNULL, stderr=DEVNULL)
        os.close(write_end)
        number = b""
        deadline = time.monotonic() + 20
        with os.fdopen(read_end, "rb", buffering=0) as pipe:
            os.set_blocking(pipe.fileno(), False)
            while not number.endswith(b"\n") and time.monotonic() < deadline:
                try:
                    number += pipe.read(16) or b""
                except BlockingIOError:
                    pass
                if self.proc.poll() is not None:
                    break
                time.sleep(0.05)
        if not number.strip().isdigit():
            self.stop()
            raise Failure("Xvfb did not start")
        self.display = ":" + number.decode().strip()

    def stop(self):
        stop_process(self.proc)


class WinePrefix:
    """A Wine prefix with its own scratch HOME. A template prefix is made once per suite run and copied
    for every case, which saves the ten or more seconds of a fresh wineboot each time."""

    def __init__(self, root, display, template=None, repo=None):
        self.root = root
        self.prefix = os.path.join(root, "prefix")
        self.home = os.path.join(root, "home")
        self.display = display
        os.makedirs(self.home, exist_ok=True)
        if template:
            subprocess.run(["cp", "-a", template, self.prefix], check=True)
        else:
            subprocess.run([os.path.join(repo, "scripts", "wine-prefix.sh")], env=self.env(), check=True,
                           stdout=DEVNULL)
            self.run(["wineserver", "-w"], timeout=120)
            self._own_user_folders()
        self.user = next(u for u in sorted(os.listdir(os.path.join(self.prefix, "drive_c", "users")))
                         if u != "Public")

    @classmethod
    def from_environment(cls):
        """The prefix a caller already set up (scripts/wine-env.sh): WINEPREFIX, HOME and DISPLAY."""
        self = cls.__new__(cls)
        self.prefix = os.environ["WINEPREFIX"]
        self.root = os.path.dirname(self.prefix)
        self.home = os.environ["HOME"]
        self.display = os.environ["DISPLAY"]
        self.user = next(u for u in sorted(os.listdir(os.path.join(self.prefix, "drive_c", "users")))
                         if u != "Public")
        return self

    def _own_user_folders(self):
        # Wine links Desktop, Documents... to the Unix HOME; a copied prefix must not share them.
        users = os.path.join(self.prefix, "drive_c", "users")
        for user in os.listdir(users):
            for name in os.listdir(os.path.join(users, user)):
                path = os.path.join(users, user, name)
                if os.path.islink(path):
                    os.unlink(path)
                    os.makedirs(path)

    def env(self, lang=None):
        env = dict(os.environ)
        env.update(WINEPREFIX=self.prefix, HOME=self.home, WINEDEBUG="-all",
                   WINEDLLOVERRIDES="mscoree,mshtml=", DISPLAY=self.display)
        if lang:
            env.update(LANG=lang, LC_ALL=lang)
        # Whatever language the run ends up in (given, or inherited) must exist, or it runs degraded.
        require_locale(env.get("LC_ALL") or env.get("LANG"))
        return env

    def run(self, args, lang=None, timeout=120):
        return subprocess.run(args, env=self.env(lang), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              timeout=timeout)

    def start(self, args, lang=None):
        # Wine's own complaints go to a file in the prefix, for a start that ends without a window.
        with open(self.output(), "ab") as output:
            return subprocess.Popen(args, env=self.env(lang), stdout=DEVNULL, stderr=output)

    def output(self):
        return os.path.join(self.prefix, "wine-output.log")

    def output_tail(self, size=1500):
        try:
            with open(self.output(), "rb") as f:
                f.seek(0, os.SEEK_END)
                f.seek(max(0, f.tell() - size))
                return f.read().decode("utf-8", "replace")
        except OSError:
            return ""

    # Windows paths of the prefix's user, and where they are on the Unix side.
    def appdata(self):
        return f"C:\\users\\{self.user}\\AppData\\Roaming"

    def desktop(self):
        return f"C:\\users\\{self.user}\\Desktop"

    def unix(self, windows_path):
        assert windows_path[:3].upper() == "C:\\", windows_path
        return os.path.join(self.prefix, "drive_c", *windows_path[3:].split("\\"))

    def reg_query(self, key, lang=None, encoding="utf-8"):
        """The values below a registry key as {name: (type, data)}, or None when the key is missing.
        reg prints in the console code page of lang (encoding), '?' for what that page lacks."""
        result = self.run(["wine", "reg", "query", key], lang=lang, timeout=60)
        if result.returncode != 0:
            return None
        values = {}
        for line in result.stdout.decode(encoding, "replace").splitlines():
            m = re.match(r"^    (\S.*?)    (REG_\w+)    ?(.*)$", line.rstrip("\r"))
            if m:
                values[m.group(1)] = (m.group(2), m.group(3))
        return values

    def stop(self):
        # Only this prefix's wineserver: WINEPREFIX names our own copy.
        try:
            self.run(["wineserver", "-k"], timeout=30)
        except subprocess.TimeoutExpired:
            pass

    def remove(self):
        shutil.rmtree(self.root, ignore_errors=True)


class Publisher:
    """orvane-publisher serving a package on the fixed check port and a free download port."""

    LISTEN_FAILED = 69  # the publisher's exit status when a listener cannot be opened

    def __init__(self, exe, package, log_path, switches=()):
        self.log_path = log_path
        deadline = time.monotonic() + PORT_WAIT
        while True:
            wait_for(lambda: port_is_free(CHECK_PORT), max(1, deadline - time.monotonic()),
                     f"port {CHECK_PORT} to be free", interval=0.5)
            if self._start(exe, package, log_path, switches):
                return
            # Someone else took the port between the look and the start: wait again.
            if self.proc.returncode != self.LISTEN_FAILED or time.monotonic() > deadline:
                raise Failure("the publisher did not get ready: " + " | ".join(self.output))

    def _start(self, exe, package, log_path, switches):
        self.proc = subprocess.Popen(
            [exe, "--package", package, "--check", f"127.0.0.1:{CHECK_PORT}", "--download", "127.0.0.1:0",
             "--log", log_path, *switches],
            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        self.lines = queue.Queue()
        self.output = []
        threading.Thread(target=self._read, args=(self.proc, self.lines, self.output), daemon=True).start()
        self.download = None
        deadline = time.monotonic() + 20
        while True:
            try:
                line = self.lines.get(timeout=max(0.1, deadline - time.monotonic()))
            except queue.Empty:
                line = None
            if line is None:
                self.stop()
                return False
            m = re.match(r"download (\S+):(\d+)", line)
            if m:
                self.download = (m.group(1), int(m.group(2)))
            if line.strip() == "ready":
                return True

    @staticmethod
    def _read(proc, lines, output):
        for line in proc.stdout:
            output.append(line.rstrip("\n"))
            lines.put(line)
        lines.put(None)

    def stop(self):
        return stop_process(self.proc)


class Frame:
    """One picture of a window (raw RGB): everything read from it was on screen at the same moment."""

    def __init__(self, data, width, height):
        self.data, self.width, self.height = data, width, height

    def at(self, x, y):
        i = (y * self.width + x) * 3
        return tuple(self.data[i:i + 3])

    def dark_columns(self, x, y, w, h, below=128):
        """The columns of a rectangle that hold a dark pixel (text drawn in black or grey)."""
        return [cx for cx in range(x, x + w) if any(max(self.at(cx, cy)) < below for cy in range(y, y + h))]

    def save_png(self, path):
        """Writes the picture as it was analysed, not a later screenshot that may show another moment."""
        row = self.width * 3
        raw = b"".join(b"\0" + self.data[y * row:(y + 1) * row] for y in range(self.height))

        def chunk(kind, body):
            return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))

        header = struct.pack(">IIBBBBB", self.width, self.height, 8, 2, 0, 0, 0)
        with open(path, "wb") as f:
            f.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(raw)) +
                    chunk(b"IEND", b""))
        return path


class InstallerWindow:
    """OrvaneSetup.exe under Wine, found by its window title and driven with xdotool."""

    INSTALL_BUTTON = centre(RECT["button"])
    CLOSE_GLYPH = centre(RECT["closeHit"])

    def __init__(self, wine, exe, lang, shots):
        self.wine = wine
        self.shots = shots
        self.proc = wine.start(["wine", exe], lang)
        try:
            self.window = wait_for(self._find, 90, "the installer window")
        except Failure:
            # A start that failed is the installer's failure. One still running with no window after
            # 90 s, or gone with status 0 and no window ever found, has been seen, rarely, on a loaded
            # machine (Wine saying nothing): the screen is kept for a look, and the installer is started
            # once more; a second miss fails the case.
            ended = self.proc.poll()
            if ended is not None and ended != 0:
                raise Failure(f"the installer ended with {ended} before showing its window; "
                              f"Wine said at the end:\n{wine.output_tail()}")
            self.screenshot("no-installer-window")
            stop_process(self.proc)
            why = "no installer window after 90 s" if ended is None else "the installer ended with 0 unseen"
            print(f"e2e: note: {why}; started again ({shots}); Wine said: {wine.output_tail(300)!r}",
                  flush=True)
            self.proc = wine.start(["wine", exe], lang)
            self.window = wait_for(self._find, 90, "the installer window, at the second start")
        wait_for(lambda: self.pixel(5, 5) is not None, 30, "the installer window to be drawn")
        time.sleep(0.5)

    def _xdotool(self, *args):
        # A query can stall while windows come and go on a loaded machine; callers retry on None.
        try:
            result = subprocess.run(["xdotool", *args], env=self.wine.env(), stdout=subprocess.PIPE,
                                    stderr=DEVNULL, text=True, timeout=30)
        except subprocess.TimeoutExpired:
            return None
        return result.stdout.strip() if result.returncode == 0 else None

    def _find(self):
        found = self._xdotool("search", "--name", "^Orvane$")
        return found.split()[0] if found else None

    def size(self):
        """The window's (width, height) in pixels as the X server has it, or None."""
        geometry = self._xdotool("getwindowgeometry", "--shell", self.window) or ""
        values = dict(line.split("=", 1) for line in geometry.splitlines() if "=" in line)
        if "WIDTH" not in values or "HEIGHT" not in values:
            return None
        return int(values["WIDTH"]), int(values["HEIGHT"])

    def move(self, x, y):
        self._xdotool("mousemove", "--window", self.window, str(x), str(y))

    def click(self, x, y):
        self._xdotool("mousemove", "--window", self.window, str(x), str(y), "click", "1")

    def press(self, x, y):
        """Moves to (x, y) and holds the left button down there: no mouse input follows until release()."""
        self._xdotool("mousemove", "--window", self.window, str(x), str(y), "mousedown", "1")

    def release(self):
        self._xdotool("mouseup", "1")

    def pointer(self):
        """Where the mouse pointer is on the screen, as (x, y), or None."""
        where = self._xdotool("getmouselocation", "--shell") or ""
        values = dict(line.split("=", 1) for line in where.splitlines() if "=" in line)
        return (int(values["X"]), int(values["Y"])) if "X" in values and "Y" in values else None

    def nudge(self, x, y):
        """A small mouse move over the window: the dialog repaints on every move."""
        self.move(x + 1, y)
        time.sleep(0.1)
        self.move(x, y)
        time.sleep(0.3)

    def screenshot(self, name):
        path = os.path.join(self.shots, name + ".png")
        subprocess.run(["import", "-window", "root", path], env=self.wine.env(), stdout=DEVNULL, stderr=DEVNULL,
                       timeout=30)
        return path

    def region(self, x, y, w, h):
        """Raw RGB bytes of a part of the window, or None."""
        result = subprocess.run(["import", "-window", self.window, "-crop", f"{w}x{h}+{x}+{y}", "-depth", "8",
                                 "rgb:-"], env=self.wine.env(), stdout=subprocess.PIPE, stderr=DEVNULL, timeout=30)
        return result.stdout if result.returncode == 0 and len(result.stdout) == w * h * 3 else None

    def frame(self, w=SIZE["dialogWidth"], h=SIZE["dialogHeight"]):
        """The window's picture from its top left corner as a Frame, or None."""
        data = self.region(0, 0, w, h)
        return Frame(data, w, h) if data else None

    def pixel(self, x, y):
        data = self.region(x, y, 1, 1)
        return tuple(data) if data else None

    def exited(self):
        return self.proc.poll() is not None

    def wait_exit(self, timeout):
        try:
            return self.proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            raise Failure(f"the installer did not end within {timeout} s")

    def stop(self):
        stop_process(self.proc)
