"""What an install must have left behind, read from the Unix side of the Wine prefix."""
import io
import json
import os
import re
import shutil
import struct
import subprocess
import zipfile

from harness import Failure

PACKAGE_NO = "000185"
COLON = b"\xa3\xba"  # the full-width colon in code page 936
PRODUCT = "Orvane"
UNINSTALL_PARENT = "HKLM\\SOFTWARE\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Uninstall"
CONFIG_FILES = ("config/orvane.Default.pub", "config/orvane.Default.pri")
RECORDS = ("module.info", "update.ini", "log/install.log")


def expect(condition, message):
    if not condition:
        raise Failure(message)


def install_dir(wine):
    return f"{wine.appdata()}\\Orvane{PACKAGE_NO}v8.5"


def read_manifest(package):
    with open(os.path.join(package, "package.json"), encoding="utf-8") as f:
        return json.load(f)


def expected_tree(package):
    """{relative path: bytes} of the files and the set of folders an install of the package holds, with
    server/depend.zip replaced by what it unpacks to (before the installer adds its own records)."""
    manifest = read_manifest(package)
    files, folders = {}, set()
    for module in manifest["modules"]:
        if module.get("state") == "D" or "folder" not in module:
            continue
        top = os.path.join(package, module["folder"])
        for dirpath, dirnames, filenames in os.walk(top):
            rel = os.path.relpath(dirpath, top)
            if rel != ".":
                folders.add(rel.replace(os.sep, "/"))
            for name in filenames:
                path = os.path.join(dirpath, name)
                key = os.path.relpath(path, top).replace(os.sep, "/")
                with open(path, "rb") as f:
                    files[key] = f.read()
    archive = files.pop("server/depend.zip", None)
    if archive is not None:
        with zipfile.ZipFile(io.BytesIO(archive)) as z:
            for info in z.infolist():
                name = "server/" + info.filename.rstrip("/")
                if info.is_dir():
                    folders.add(name)
                else:
                    files[name] = z.read(info)
                parts = name.split("/")
                for i in range(1, len(parts)):
                    folders.add("/".join(parts[:i]))
    return files, folders


def actual_tree(root):
    files, folders = {}, set()
    for dirpath, dirnames, filenames in os.walk(root):
        rel = os.path.relpath(dirpath, root)
        if rel != ".":
            folders.add(rel.replace(os.sep, "/"))
        for name in filenames:
            path = os.path.join(dirpath, name)
            with open(path, "rb") as f:
                files[os.path.relpath(path, root).replace(os.sep, "/")] = f.read()
    return files, folders


def read_ini(data):
    """{section: {key: value}} of a profile file (sections and keys lower-cased, as the profile API
    matches them)."""
    sections, current = {}, None
    for raw in data.decode("latin-1").splitlines():
        line = raw.strip()
        m = re.match(r"^\[(.*)\]$", line)
        if m:
            current = sections.setdefault(m.group(1).lower(), {})
        elif "=" in line and current is not None:
            key, value = line.split("=", 1)
            current[key.strip().lower()] = value.strip()
    return sections


def check_tree(wine, package, language, extra_allowed=()):
    """The installed tree equals the package plus the installer's records and configuration."""
    root = wine.unix(install_dir(wine))
    expect(os.path.isdir(root), f"no install folder {install_dir(wine)}")
    want_files, want_folders = expected_tree(package)
    got_files, got_folders = actual_tree(root)
    manifest = read_manifest(package)

    added = set(RECORDS) | set(CONFIG_FILES) | set(extra_allowed)
    missing = sorted(set(want_files) - set(got_files))
    unexpected = sorted(set(got_files) - set(want_files) - added)
    expect(not missing, f"files missing from the install: {missing}")
    expect(not unexpected, f"files in the install that the package does not bring: {unexpected}")
    expect("server/depend.zip" not in got_files, "server/depend.zip was not removed after unpacking")
    for name in RECORDS:
        expect(name in got_files, f"{name} missing from the install")
    for name, data in want_files.items():
        if name not in CONFIG_FILES:
            expect(got_files[name] == data, f"{name} differs from the package")
    lost_folders = sorted(want_folders - got_folders)
    expect(not lost_folders, f"folders missing from the install: {lost_folders}")
    expect(not os.path.exists(root + "temp"), "the temporary folder is still there")

    # Configuration: the installer's keys added, the package's own keys kept.
    pub = read_ini(got_files[CONFIG_FILES[0]])
    pri = read_ini(got_files[CONFIG_FILES[1]])
    expect(pub.get("orvane", {}).get("package") == PACKAGE_NO, f"orvane.Default.pub lacks package={PACKAGE_NO}")
    expect(pri.get("orvane", {}).get("language") == str(language),
           f"orvane.Default.pri has language={pri.get('orvane', {}).get('language')}, not {language}")
    if CONFIG_FILES[0] in want_files:
        for section, keys in read_ini(want_files[CONFIG_FILES[0]]).items():
            for key, value in keys.items():
                expect(pub.get(section, {}).get(key) == value, f"orvane.Default.pub lost [{section}] {key}")

    # update.ini and module.info.
    version = manifest["version"]
    cur = f"8.5.{version['part3']}.{version['part4']}"
    expect(read_ini(got_files["update.ini"]).get("version", {}).get("cur") == cur, f"update.ini lacks cur={cur}")
    info = got_files["module.info"]
    modules = manifest["modules"]
    expect(len(info) == 8 + 79 * len(modules), f"module.info is {len(info)} bytes, not {8 + 79 * len(modules)}")
    expect(struct.unpack_from("<II", info, 0) == (version["part3"], version["part4"]),
           "module.info does not start with the installed version")
    for i, module in enumerate(modules):
        record = info[8 + 79 * i: 8 + 79 * (i + 1)]
        name = record[11:62].split(b"\0")[0].decode("latin-1")
        ver_a, ver_b = struct.unpack_from("<II", record, 62)
        expect(record[0:11].split(b"\0")[0] == PACKAGE_NO.encode(), f"module.info record {i}: package number")
        expect((name, ver_a, ver_b, chr(record[70])) ==
               (module["name"], module["versionA"], module["versionB"], module["state"]),
               f"module.info record {i} is {name} {ver_a}.{ver_b} {chr(record[70])}")
    return got_files


LINE = re.compile(rb"^\[(\d\d):(\d\d):(\d\d) (\d\d\d)\]\t\t(.*)$", re.S)


def log_lines(data):
    """The texts of a log's lines; every line must carry the exact time prefix and end in CRLF."""
    expect(data.endswith(b"\r\n"), "the install log does not end with CRLF")
    texts = []
    for raw in data[:-2].split(b"\r\n"):
        m = LINE.match(raw)
        expect(m is not None, f"log line without the time prefix: {raw!r}")
        h, mi, s, ms = (int(x) for x in m.groups()[:4])
        expect(h < 24 and mi < 60 and s < 60, f"log line with an impossible time: {raw!r}")
        texts.append(m.group(5))
    return texts


def in_order(texts, wanted, who):
    """wanted appear in texts in this order (other threads' lines may come between)."""
    position = 0
    for want in wanted:
        try:
            position = texts.index(want, position) + 1
        except ValueError:
            raise Failure(f"log: {who} line {want!r} missing or out of order; log: {texts}")


def log_text(path):
    """A path as the log writes it: code page 936, '?' for what that page lacks."""
    return path.encode("gbk", "replace")


ATTEMPTS_TAG = b"DownloadAttempts" + COLON
ATTEMPT_START = re.compile(re.escape(ATTEMPTS_TAG) + rb"Attempt (\d+)$")
ATTEMPT_REQUESTS = re.compile(re.escape(ATTEMPTS_TAG) + rb"Attempt (\d+) requests (\d+) modules: (.*)$")
ATTEMPT_FAULT = re.compile(re.escape(ATTEMPTS_TAG) + rb"Attempt (\d+) (.+) Faile$")
RETRY = re.compile(re.escape(ATTEMPTS_TAG) + rb"Retry in (\d+\.\d) s$")
GAVE_UP = ATTEMPTS_TAG + b"Gave up after 8 attempts without a module Faile"
MAX_FAILED_IN_A_ROW = 8
RETRY_FIRST, RETRY_LONGEST, RETRY_SPREAD = 1.0, 30.0, 0.3


class Attempt:
    """One attempt's part of the log, from its "Attempt N" line to the next one's."""

    def __init__(self, number):
        self.number = number
        self.lines = []
        self.requested = None  # the module names its download asked for, when it got that far
        self.finished = 0      # modules it received whole (their last file's path lines)
        self.fault = None      # what ended it, when a transport fault did
        self.retry = None      # the wait it announced before the next attempt (s)


def retry_bounds(failed_in_a_row):
    """The shortest and longest wait after that many failed attempts in a row: doubling from 1 s, at
    most 30 s, each spread by up to 30 %, to a tenth of a second as the log rounds it."""
    base = min(RETRY_LONGEST, RETRY_FIRST * 2 ** (max(1, failed_in_a_row) - 1))
    return base * (1 - RETRY_SPREAD) - 0.05, min(RETRY_LONGEST, base * (1 + RETRY_SPREAD)) + 0.05


def attempts(texts, package, temp):
    """Splits a log into its attempts and checks how they follow one another: numbered from 1 without a
    gap; every attempt but the last ended by one fault and a wait within the back-off's bounds (the count
    of failures in a row starting again after an attempt that brought a module); each download asks for
    exactly the modules not yet received whole, in the module list's order, and each module is received
    whole at most once; after 8 failed attempts in a row, the "Gave up" line instead of a wait.
    Returns (lines before the first attempt, [Attempt, ...])."""
    before, found = [], []
    for text in texts:
        m = ATTEMPT_START.match(text)
        if m:
            expect(int(m.group(1)) == len(found) + 1, f"log: attempt {int(m.group(1))} follows attempt {len(found)}")
            found.append(Attempt(len(found) + 1))
        (found[-1].lines if found else before).append(text)

    wanted = [m["name"].encode() for m in read_manifest(package)["modules"] if m.get("state") != "D"]
    missing = list(wanted)  # not yet received whole, in the module list's order
    failed_in_a_row = 0
    gave_up = False
    for a in found:
        expect(not gave_up, f"log: attempt {a.number} after the installer gave up")
        requests = [ATTEMPT_REQUESTS.match(t) for t in a.lines]
        requests = [m for m in requests if m]
        expect(len(requests) <= 1, f"log: attempt {a.number} asked for modules {len(requests)} times")
        if requests:
            m = requests[0]
            expect(int(m.group(1)) == a.number, f"log: attempt {a.number} holds attempt {m.group(1)}'s request")
            a.requested = m.group(3).split(b",") if m.group(3) else []
            expect(int(m.group(2)) == len(a.requested), f"log: request line miscounts its modules: {m.group(0)!r}")
            expect(a.requested == missing,
                   f"log: attempt {a.number} asked for {a.requested}, not the modules still missing {missing}")
        a.finished = sum(1 for t in a.lines if t.startswith(temp + b"\\"))
        expect(a.finished == 0 or a.requested is not None,
               f"log: attempt {a.number} received modules it never asked for")
        expect(a.finished <= len(missing), f"log: attempt {a.number} received {a.finished} modules of {len(missing)}")
        del missing[:a.finished]  # modules arrive in the order they were asked for

        faults = [ATTEMPT_FAULT.match(t) for t in a.lines]
        faults = [m for m in faults if m and not m.group(2).endswith(b", not to be retried")]
        retries = [float(m.group(1)) for m in (RETRY.match(t) for t in a.lines) if m]
        expect(len(faults) <= 1 and len(retries) <= 1,
               f"log: attempt {a.number} has {len(faults)} faults and {len(retries)} waits")
        if faults:
            expect(int(faults[0].group(1)) == a.number, f"log: attempt {a.number} holds {faults[0].group(0)!r}")
            a.fault = faults[0].group(2)
            failed_in_a_row = 0 if a.finished else failed_in_a_row + 1
            if failed_in_a_row >= MAX_FAILED_IN_A_ROW:
                expect(GAVE_UP in a.lines and not retries, f"log: attempt {a.number} did not give up: {a.lines}")
                gave_up = True
                continue
            expect(len(retries) == 1, f"log: attempt {a.number} failed without announcing its wait")
            a.retry = retries[0]
            low, high = retry_bounds(failed_in_a_row)
            expect(low <= a.retry <= high, f"log: attempt {a.number} waits {a.retry} s after {failed_in_a_row} "
                                           f"failures in a row, not {low:.2f} to {high:.2f} s")
        else:
            expect(not retries and GAVE_UP not in a.lines, f"log: attempt {a.number} waits without a fault")
            expect(a is found[-1], f"log: attempt {a.number} neither failed nor was the last: {a.lines}")
    return before, found


def check_happy_log(data, wine, package, download_port):
    """The install log of an install that completed, in however many attempts: the earlier ones as
    attempts() checks them, the last one the whole exchange with nothing unexpected in it."""
    texts = log_lines(data)
    # The package check's one line: the download checked against its signed manifest, or, by an
    # installer built without keys, the note that it was not.
    verdicts = [t for t in texts if t.startswith(b"CheckPackage" + COLON)]
    expect(len(verdicts) == 1 and verdicts[0].split(COLON, 1)[1] in PACKAGE_VERDICTS,
           f"log: not one package check line: {verdicts}")
    expect(texts[-1] == verdicts[0], "log: the package check is not the log's last line")
    texts = texts[:-1]
    temp = log_text(install_dir(wine) + "temp")
    before, tries = attempts(texts, package, temp)
    expect(not before and tries, f"log: lines before the first attempt: {before}")
    last = tries[-1]
    expect(last.fault is None and last.requested is not None,
           f"log: the last attempt did not download: {last.lines}")
    number = b"Attempt %d" % last.number
    records = {m["name"].encode(): m for m in read_manifest(package)["modules"]}
    interface = [ATTEMPTS_TAG + number,
                 b"SocketSend_ip:127.0.0.1__port:31711", b"OnButtonClick" + COLON + b"Connect Success",
                 b"SocketSend_ip:127.0.0.1__port:%d" % download_port, b"OnModuleDL" + COLON + b"Connect",
                 ATTEMPTS_TAG + number + b" requests %d modules: %s" % (len(last.requested), b",".join(last.requested)),
                 b"DownloadModule Need Request Module" + COLON + b"DownloadModule"]
    interface += [b"%s--%d_%d----%s" % (records[n]["state"].encode(), records[n]["versionA"], records[n]["versionB"], n)
                  for n in last.requested]
    interface += [b"ProcessDL" + COLON + b"DownloadModule", ATTEMPTS_TAG + number + b" complete"]
    check = [b"ProcessCheck" + COLON + b"QryCheckUpdate", b"ProcessCheck" + COLON + b"QryCheckModule",
             b"ProcessCheck" + COLON + b"ZynPublish_L_PkgModuleCheck_Rsp"]
    # The attempt's end stops both clients and joins their threads before it is logged, so the download
    # client's last line is always in.
    download = [b"ProcessDL" + COLON + b"OnAuthentLink Success",
                b"ProcessCheck" + COLON + b"ZynPublish_L_FileDownload_Rsp"]
    lines = last.lines
    in_order(lines, interface, "interface thread")
    in_order(lines, check, "check client")
    in_order(lines, download, "download client")
    expect(lines[-1] == interface[-1], f"log: the attempt's completion is not its last line: {lines[-3:]}")
    expect(last.finished == len(last.requested),
           f"log: {last.finished} finished-module paths for {len(last.requested)} modules")
    # Stopping the clients of a finished download closes their connections: each may say so once.
    closing = [t for t in lines if t in (b"ProcessDL" + COLON + b"OnClientDisconnect after the end",
                                         b"ProcessCheck" + COLON + b"OnClientDisconnect after the end")]
    expect(len(set(closing)) == len(closing), f"log: a client closed twice: {closing}")
    others = len(lines) - len(interface) - len(check) - len(download) - last.finished - len(closing)
    expect(others == 0, f"log: {others} unexpected lines: {lines}")
    return tries


PACKAGE_VERDICTS = (b"signed manifest Success", b"not verified: built without signing keys")
SAMPLE_KEY_DIR = os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))),
                              "examples", "sample-signing-key")


def manifest_path(package):
    """Where --write-manifest puts the manifest: the first module folder with downloaded files."""
    for m in read_manifest(package)["modules"]:
        folder = m.get("folder")
        if m.get("state") != "D" and folder and any(files for _, _, files in os.walk(os.path.join(package, folder))):
            return os.path.join(package, folder, "orvane.manifest")
    raise Failure(f"{package}: no module with files")


def sign_package(publisher_exe, package, secret_key=None):
    """Writes the package's manifest with the publisher and signs it with minisign (the sample key)."""
    result = subprocess.run([publisher_exe, "--write-manifest", "--package", package], stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT, text=True)
    expect(result.returncode == 0, f"--write-manifest failed: {result.stdout}")
    secret_key = secret_key or os.path.join(SAMPLE_KEY_DIR, "sample-signing-key.secret")
    manifest = manifest_path(package)
    result = subprocess.run(["minisign", "-S", "-s", secret_key, "-m", manifest], stdin=subprocess.DEVNULL,
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    expect(result.returncode == 0, f"minisign could not sign {manifest}: {result.stdout}")
    return manifest


def signed_copy(publisher_exe, package, folder):
    """A copy of the package in `folder`, its manifest written and signed with the sample key."""
    shutil.rmtree(folder, ignore_errors=True)
    shutil.copytree(package, folder)
    sign_package(publisher_exe, folder)
    return folder




# The system's ANSI and console (OEM) code pages under each language Wine runs in.
CODE_PAGES = {"en_US.UTF-8": ("cp1252", "cp437"), "de_DE.UTF-8": ("cp1252", "cp850"),
              "zh_CN.UTF-8": ("gbk", "gbk"), "zh_TW.UTF-8": ("cp950", "cp950"), "zh_HK.UTF-8": ("cp950", "cp950")}


def as_in(text, encoding):
    """text as it reads after a trip through a code page: '?' for what the page lacks."""
    return text.encode(encoding, "replace").decode(encoding)


def check_registry(wine, package, lang="en_US.UTF-8"):
    manifest = read_manifest(package)
    key = f"{UNINSTALL_PARENT}\\Orvane_{PACKAGE_NO}v8.5"
    oem = CODE_PAGES[lang][1]
    values = wine.reg_query(key, lang, oem)
    expect(values is not None, f"no uninstall entry {key}")
    folder = install_dir(wine)
    want = {
        "DisplayName": PRODUCT + "v8.5",
        "UninstallString": folder + "\\uninstall.exe",
        "DisplayIcon": folder + "\\TalvikTradeSafe.exe",
        "DisplayVersion": f"8.5.{manifest['version']['part3']}.{manifest['version']['part4']}",
        "Publisher": "Talvik Information",
        "Shortcut": f"{wine.desktop()}\\{PRODUCT}v8.5.lnk",
    }
    for name, value in want.items():
        got = values.get(name)
        expect(got == ("REG_SZ", as_in(value, oem)), f"uninstall entry {name} is {got}, not {value!r}")
    return key


def read_link(path):
    """Target and working folder of a shell link file."""
    with open(path, "rb") as f:
        data = f.read()
    expect(len(data) >= 0x4C and struct.unpack_from("<I", data, 0)[0] == 0x4C, "the link is no shell link")
    flags = struct.unpack_from("<I", data, 0x14)[0]
    pos = 0x4C
    target = None
    if flags & 0x01:  # an item id list
        pos += 2 + struct.unpack_from("<H", data, pos)[0]
    if flags & 0x02:  # link info with the local base path
        size, header = struct.unpack_from("<II", data, pos)
        info_flags = struct.unpack_from("<I", data, pos + 8)[0]
        if info_flags & 1:
            base = struct.unpack_from("<I", data, pos + 16)[0]
            target = data[pos + base:].split(b"\0")[0].decode("latin-1")
        pos += size
    strings = {}
    unicode = bool(flags & 0x80)
    for bit, name in ((0x04, "name"), (0x08, "relative"), (0x10, "workdir"), (0x20, "arguments"), (0x40, "icon")):
        if flags & bit:
            count = struct.unpack_from("<H", data, pos)[0]
            pos += 2
            width = 2 if unicode else 1
            raw = data[pos:pos + count * width]
            # Wine counts the terminating NUL in, Windows does not.
            strings[name] = raw.decode("utf-16-le" if unicode else "latin-1").rstrip("\0")
            pos += count * width
    return target, strings.get("workdir"), strings.get("arguments")


def check_link(wine, lang="en_US.UTF-8"):
    """The link keeps its target's local path in the system's code page (lang's)."""
    ansi = CODE_PAGES[lang][0]
    folder = install_dir(wine)
    link = wine.unix(f"{wine.desktop()}\\{PRODUCT}v8.5.lnk")
    expect(os.path.isfile(link), "no desktop link")
    target, workdir, arguments = read_link(link)
    if target is not None and not folder.isascii():
        # What that page lacks the link holds as '?', as the system converted it.
        target = target.encode("latin-1").decode(ansi, "replace")
        folder = as_in(folder, ansi)
    expect(target is not None and target.lower() == (folder + "\\TalvikTradeSafe.exe").lower(),
           f"the link points at {target}")
    real = install_dir(wine)  # the working folder is kept in UTF-16
    expect(workdir is None or workdir.lower() == real.lower(), f"the link's working folder is {workdir}")
    expect(not arguments, f"the link carries arguments {arguments!r}")
    return link


def check_launch(wine):
    folder = install_dir(wine)
    record_path = wine.unix(folder + "\\launch.txt")
    record = open(record_path, "rb").read().decode("utf-8")
    lines = record.split("\r\n")
    expect(lines[0] == f"command line: \"{folder}\\TalvikTradeSafe.exe\" end", f"terminal started as {lines[0]!r}")
    expect(lines[1] == f"folder: {folder}", f"terminal's current folder: {lines[1]!r}")


def snapshot(root, skip_top=("windows",)):
    """{relative path: (size, mtime)} of everything below root, for 'nothing else changed' checks. Wine's
    own system folder is skipped: Wine writes there on its own."""
    state = {}
    for dirpath, dirnames, filenames in os.walk(root):
        if dirpath == root:
            dirnames[:] = [d for d in dirnames if d not in skip_top]
        for name in filenames + dirnames:
            path = os.path.join(dirpath, name)
            try:
                st = os.lstat(path)
            except FileNotFoundError:
                continue
            # A folder's own time changes whenever something in it comes or goes: only its presence counts.
            key = os.path.relpath(path, root).replace(os.sep, "/")
            state[key] = (-1, 0) if os.path.isdir(path) else (st.st_size, st.st_mtime_ns)
    return state


def changed_outside(before, after, allowed=()):
    """Paths that appeared, vanished or changed, except those below an allowed prefix."""
    changed = sorted(k for k in set(before) | set(after) if before.get(k) != after.get(k))
    return [k for k in changed if not any(k == a or k.startswith(a + "/") for a in allowed)]
