#!/usr/bin/env python3
"""Fails when a source file includes a header of a layer it may not use, or when includes go round.

The layers, bottom to top (docs/architecture.md): core -> net -> service -> install, ui -> app, with the
publisher and the load tool beside the installer on top of service. The publisher's rooms are layers of
their own, bottom to top: command_line -> ops -> package -> prepared -> serving -> the publisher's own
folder (run, reload, start checks). A folder may include its own headers and those of the layers below
it, nothing else: an include that runs upward or sideways is printed as file:line. Within the checked
folders a file pair (x.h and x.cpp) that reaches itself again through includes is printed as a circle.
Either makes the exit status 1. Tests, fuzz targets and benchmarks may include anything and are not
checked.

Usage: check-layers.py [ROOT]      check the tree at ROOT (default: this checkout)
       check-layers.py --self-test plant wrong includes in a scratch tree and expect them to be found
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
    "publisher/command_line": ["service"],
    "publisher/ops": ["publisher/command_line"],
    "publisher/package": ["publisher/ops"],
    "publisher/prepared": ["publisher/package"],
    "publisher/serving": ["publisher/prepared"],
    "publisher": ["publisher/serving"],
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


def layer_of(path):
    """The layer a path ("publisher/serving/session.h") lies in: the longest layer folder holding it."""
    parts = path.replace(os.sep, "/").split("/")
    for n in range(len(parts) - 1, 0, -1):
        folder = "/".join(parts[:n])
        if folder in DIRECTLY_BELOW:
            return folder
    return None


def sources(root):
    """(layer, path relative to root) of every checked source file."""
    for top in sorted({layer.split("/", 1)[0] for layer in DIRECTLY_BELOW}):
        for folder, dirs, files in os.walk(os.path.join(root, top)):
            dirs.sort()
            for name in sorted(files):
                if name.endswith(SOURCE_SUFFIXES):
                    path = os.path.relpath(os.path.join(folder, name), root)
                    yield layer_of(path), path


def includes(root, path):
    """(line number, include) of each quoted include naming a folder; a bare name is the folder's own
    or a generated header of its build folder."""
    with open(os.path.join(root, path), encoding="utf-8", errors="replace") as f:
        for number, text in enumerate(f, 1):
            match = INCLUDE.match(text)
            if match and "/" in match.group(1):
                yield number, match.group(1)


def violations(root):
    """(file, line number, include) for every include a file's layer may not use."""
    allowed = allowed_layers()
    found = []
    for layer, path in sources(root):
        for number, target in includes(root, path):
            if layer_of(target) not in allowed[layer]:
                found.append((path, number, target))
    return found


def circles(root):
    """Each circle of file pairs (x.h with x.cpp) through includes, as the list of pairs round it."""
    pair = lambda path: os.path.splitext(path.replace(os.sep, "/"))[0]
    edges = {}
    for _, path in sources(root):
        for _, target in includes(root, path):
            if pair(target) != pair(path):
                edges.setdefault(pair(path), set()).add(pair(target))
    found, state = [], {}  # state: 1 on the current path, 2 done

    def visit(node, trail):
        state[node] = 1
        trail.append(node)
        for nxt in sorted(edges.get(node, ())):
            if state.get(nxt) == 1:
                found.append(trail[trail.index(nxt):] + [nxt])
            elif nxt not in state:
                visit(nxt, trail)
        trail.pop()
        state[node] = 2

    for node in sorted(edges):
        if node not in state:
            visit(node, [])
    return found


def check(root):
    found = violations(root)
    allowed = allowed_layers()
    for path, number, target in found:
        layer = layer_of(path)
        may = ", ".join(sorted(allowed[layer]))
        print(f'{path}:{number}: #include "{target}": {layer}/ may include only {may}')
    round_ = circles(root)
    for circle in round_:
        print("includes go round: " + " -> ".join(circle))
    if found:
        print(f"check-layers: {len(found)} include(s) against the layer order", file=sys.stderr)
    if round_:
        print(f"check-layers: {len(round_)} include circle(s)", file=sys.stderr)
    return 1 if found or round_ else 0


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
        write("publisher/serving/s.cpp", '#include "publisher/package/k.h"\n')
        write("tests/core/t.cpp", '#include "app/c.h"\n')
        expect(violations(root), [])
        write("net/f.cpp", '#include "net/f.h"\n\n  #  include "service/up.h"\n')
        write("install/g.cpp", '#include "ui/side.h"\n')
        write("publisher/q.cpp", '#include "app/clients.h"\n')
        write("load/r.cpp", '#include "service/download_attempts.h"\n#include "publisher/serving/session.h"\n')
        write("publisher/ops/o.cpp", '#include "publisher/serving/s.h"\n')
        expected = [
            (os.path.join("install", "g.cpp"), 1, "ui/side.h"),
            (os.path.join("load", "r.cpp"), 2, "publisher/serving/session.h"),
            (os.path.join("net", "f.cpp"), 3, "service/up.h"),
            (os.path.join("publisher", "ops", "o.cpp"), 1, "publisher/serving/s.h"),
            (os.path.join("publisher", "q.cpp"), 1, "app/clients.h"),
        ]
        expect(sorted(violations(root)), sorted(expected))
        expect(circles(root), [])
        write("service/x.h", '#include "service/y.h"\n')
        write("service/y.cpp", '#include "service/x.h"\n')
        expect(circles(root), [["service/x", "service/y", "service/x"]])
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
