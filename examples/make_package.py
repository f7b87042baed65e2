#!/usr/bin/env python3
"""Lays out the sample package folder that orvane-publisher serves.

The source tree holds package.json and one folder per module (its files laid out as they land in the
install folder). The build adds what cannot live in the source tree: the two Windows programs, the
dependency archive server/depend.zip (with folders inside, one of them empty) and a larger generated
chart history file, so a download takes more than a handful of chunks.
"""
import argparse
import os
import shutil
import sys
import zipfile

# A fixed stamp keeps the archive identical from build to build.
ZIP_DATE = (2024, 1, 2, 3, 4, 6)
HISTORY_BYTES = 384 * 1024


def entry(name):
    info = zipfile.ZipInfo(name, ZIP_DATE)
    info.create_system = 0  # MS-DOS attributes, as a Windows archiver writes them
    return info


def add_folder(archive, name):
    info = entry(name)
    info.external_attr = 0x10  # the MS-DOS folder attribute, which the installer's unzip looks at
    info.compress_type = zipfile.ZIP_STORED
    archive.writestr(info, b"")


def add_file(archive, name, path, method):
    info = entry(name)
    info.external_attr = 0x20  # MS-DOS archive attribute: a plain file
    info.compress_type = method
    with open(path, "rb") as source:
        archive.writestr(info, source.read())


def make_depend_zip(depend_dir, target):
    os.makedirs(os.path.dirname(target), exist_ok=True)
    with zipfile.ZipFile(target, "w") as archive:
        add_folder(archive, "bin/")
        add_file(archive, "bin/feedsvc.cfg", os.path.join(depend_dir, "bin", "feedsvc.cfg"), zipfile.ZIP_STORED)
        # No folder entries for lib/ and lib/quote/: the unzip must create parents of a file itself.
        add_file(archive, "lib/quote/codec.dat", os.path.join(depend_dir, "lib", "quote", "codec.dat"),
                 zipfile.ZIP_DEFLATED)
        add_file(archive, "lib/trade/orders.dat", os.path.join(depend_dir, "lib", "trade", "orders.dat"),
                 zipfile.ZIP_DEFLATED)
        add_folder(archive, "data/")
        add_folder(archive, "data/empty/")


def make_history(target):
    # Half text (compresses), half noise (does not): both paths of the packet codec get exercised.
    os.makedirs(os.path.dirname(target), exist_ok=True)
    state = 0x2545F491
    out = bytearray()
    day = 0
    while len(out) < HISTORY_BYTES:
        state = (state * 1103515245 + 12345) & 0xFFFFFFFF
        if day % 2 == 0:
            out += b"day %06d open %5d close %5d\r\n" % (day, state % 9000 + 1000, (state >> 13) % 9000 + 1000)
        else:
            out += state.to_bytes(4, "little") * 1 + (state ^ 0x5A5A5A5A).to_bytes(4, "little")
        day += 1
    with open(target, "wb") as f:
        f.write(bytes(out[:HISTORY_BYTES]))


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--source", required=True, help="examples/package")
    parser.add_argument("--depend", required=True, help="examples/depend: what goes into depend.zip")
    parser.add_argument("--program", action="append", default=[], help="a Windows program for the terminal module")
    parser.add_argument("--out", required=True, help="the package folder to (re)create")
    args = parser.parse_args()

    out = os.path.abspath(args.out)
    if os.path.exists(out):
        shutil.rmtree(out)
    os.makedirs(os.path.join(out, "modules"))
    shutil.copyfile(os.path.join(args.source, "package.json"), os.path.join(out, "package.json"))
    for module in sorted(os.listdir(args.source)):
        path = os.path.join(args.source, module)
        if os.path.isdir(path):
            shutil.copytree(path, os.path.join(out, "modules", module))
    for program in args.program:
        shutil.copyfile(program, os.path.join(out, "modules", "terminal", os.path.basename(program)))
    make_depend_zip(args.depend, os.path.join(out, "modules", "server", "server", "depend.zip"))
    make_history(os.path.join(out, "modules", "charts", "charts", "data", "history.bin"))
    return 0


if __name__ == "__main__":
    sys.exit(main())
