"""The benchmark package: half slices of the machine's own executables and libraries, half random bytes,
in 8 MiB files, plus the config folder that an install must bring."""
import json
import os

PIECE = 8 * 2**20
# Each module folder is laid over the download folder, so the two halves keep apart in subfolders.
BINARIES = "modules/binaries/bin"
RANDOM = "modules/random/data"
CONFIG = "modules/config/config"


def _executables():
    for folder in ("/usr/lib/x86_64-linux-gnu", "/usr/bin", "/usr/lib/gcc"):
        for root, _, names in os.walk(folder):
            for name in sorted(names):
                path = os.path.join(root, name)
                if os.path.isfile(path) and not os.path.islink(path) and os.path.getsize(path) > 65536:
                    yield path


def make_package(pkg, mib):
    """Writes a package of `mib` MiB of file bytes (a multiple of 16) into the new folder `pkg`."""
    if mib <= 0 or mib % 16:
        raise SystemExit(f"the package size must be a positive multiple of 16 MiB, not {mib}")
    half = mib * 2**20 // 2
    for folder in (BINARIES, RANDOM, CONFIG):
        os.makedirs(os.path.join(pkg, folder))
    data, written, index = bytearray(), 0, 0
    for path in _executables():
        if written >= half:
            break
        with open(path, "rb") as f:
            data += f.read()
        while len(data) >= PIECE and written < half:
            with open(os.path.join(pkg, BINARIES, f"part{index:03}.bin"), "wb") as f:
                f.write(data[:PIECE])
            del data[:PIECE]
            written, index = written + PIECE, index + 1
    if written < half:
        raise SystemExit("not enough executable bytes on this machine for the package")
    for i in range(half // PIECE):
        with open(os.path.join(pkg, RANDOM, f"part{i:03}.bin"), "wb") as f:
            f.write(os.urandom(PIECE))
    # The installer writes its configuration files into a config folder that the package must bring.
    with open(os.path.join(pkg, CONFIG, "terminal.cfg"), "wb") as f:
        f.write(b"[terminal]\r\nbenchmark=1\r\n")
    manifest = {"package": "000185", "version": {"part3": 12, "part4": 3},
                "users": [{"name": "tulip", "password": "tulip"}],
                "modules": [{"name": "binaries", "versionA": 1, "versionB": 0, "folder": "modules/binaries"},
                            {"name": "random", "versionA": 1, "versionB": 0, "folder": "modules/random"},
                            {"name": "config", "versionA": 1, "versionB": 0, "folder": "modules/config"}]}
    with open(os.path.join(pkg, "package.json"), "w") as f:
        json.dump(manifest, f)


def files_below(root):
    """Paths relative to `root` of every file below it, sorted."""
    found = []
    for folder, _, names in os.walk(root):
        for name in names:
            found.append(os.path.relpath(os.path.join(folder, name), root))
    return sorted(found)


def tree_bytes(root):
    return sum(os.path.getsize(os.path.join(root, rel)) for rel in files_below(root))
