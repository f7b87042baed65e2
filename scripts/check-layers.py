#!/usr/bin/env python3
"""Fails when a source file includes a header of a layer it may not use.

The layers, bottom to top (docs/architecture.md): core -> net -> service -> install, ui -> app, with the
publisher and the load tool beside the installer on top of service. A folder may include its own headers
and those of the layers below it, nothing else: an include that runs upward or sideways is printed as
file:line and the exit status is 1. Tests, fuzz targets and benchmarks may include anything and are not
checked.

Usage: check-layers.py [ROOT]      check the tree at ROOT (default: this checkout)
       check-layers.py --self-test plant an upward include in a scratch tree and expect it to be found
"""
import os
import re
import sys
import tempfile

# The one statement of the order: each layer and the layers directly below it.
DIRECTLY_BELOW = {
    "core": [],
    "net": ["core"],
    "service": ["net"],
    "install": ["service"],
    "ui": ["service"],
    "app": ["install", "ui"],
    "publisher": ["service"],
    "load": ["service"],
}

SOURCE_SUFFIXES = (".h", ".hpp", ".inl", ".c", ".cc", ".cpp")
INCLUDE = re.compile(r'^\s*#\s*include\s*"([^"]+)"')


def allowed_layers():
    """Each layer with every layer it may include: itself and all below it."""
    allowed = {}

    def below(layer):
        if layer not in allowed:
            reach = {layer}
            for lower in DIRECTLY_BELOW[layer]:
                reach |= below(lower)
            allowed[layer] = reach
        return allowed[layer]

    for layer in DIRECTLY_BELOW:
        below(layer)
    return allowed


def violations(root):
    """(file, line number, include) for every include a file's layer may not use."""
    allowed = allowed_layers()
    found = []
    for layer in sorted(DIRECTLY_BELOW):
        top = os.path.join(root, layer)
        for folder, dirs, files in os.walk(top):
            dirs.sort()
            for name in sorted(files):
                if not name.endswith(SOURCE_SUFFIXES):
                    continue
                path = os.path.join(folder, name)
                with open(path, encoding="utf-8", errors="replace") as f:
                    for number, text in enumerate(f, 1):
                        match = INCLUDE.match(text)
                        if not match:
                            continue
                        target = match.group(1)
                        # A bare name is the folder's own or a generated header of its build folder.
                        if "/" not in target:
                            continue
                        if target.split("/", 1)[0] not in allowed[layer]:
                            found.append((os.path.relpath(path, root), number, target))
    return found


def check(root):
    found = violations(root)
    allowed = allowed_layers()
    for path, number, target in found:
        layer = path.split(os.sep, 1)[0]
        may = ", ".join(sorted(allowed[layer]))
        print(f'{path}:{number}: #include "{target}": {layer}/ may include only {may}')
    if found:
        print(f"check-layers: {len(found)} include(s) against the layer order", file=sys.stderr)
        return 1
    return 0


def expect(got, wanted):
    if got != wanted:
        raise SystemExit(f"check-layers: self-test failed: found {got}, expected {wanted}")


def self_test():
    with tempfile.TemporaryDirectory() as root:
        def write(path, text):
            os.makedirs(os.path.dirname(os.path.join(root, path)), exist_ok=True)
            with open(os.path.join(root, path), "w") as f:
                f.write(text)

        write("core/a.h", '#pragma once\n#include "core/b.h"\n')
        write("app/c.cpp", '#include "core/a.h"\n#include "install/d.h"\n#include "ui/e.h"\n')
        write("publisher/p.cpp", '#include "service/m.h"\n#include "publisher_version.h"\n')
        write("tests/core/t.cpp", '#include "app/c.h"\n')
        expect(violations(root), [])
        write("net/f.cpp", '#include "net/f.h"\n\n  #  include "service/up.h"\n')
        write("install/g.cpp", '#include "ui/side.h"\n')
        write("publisher/q.cpp", '#include "app/clients.h"\n')
        write("load/r.cpp", '#include "service/download_attempts.h"\n#include "publisher/session.h"\n')
        expected = [
            (os.path.join("install", "g.cpp"), 1, "ui/side.h"),
            (os.path.join("load", "r.cpp"), 2, "publisher/session.h"),
            (os.path.join("net", "f.cpp"), 3, "service/up.h"),
            (os.path.join("publisher", "q.cpp"), 1, "app/clients.h"),
        ]
        expect(violations(root), expected)
    print("check-layers: self-test passed")
    return 0


def main(argv):
    if argv[1:] == ["--self-test"]:
        return self_test()
    if len(argv) > 2:
        print(__doc__, file=sys.stderr)
        return 2
    root = argv[1] if len(argv) == 2 else os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    return check(root)


if __name__ == "__main__":
    sys.exit(main(sys.argv))
