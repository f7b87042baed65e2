#!/usr/bin/env python3
"""Makes the installer dialog's texts and shapes into C++ at build time (app/CMakeLists.txt runs it).

From app/ui_texts.tsv (UTF-8):
  ui_text_bytes.inc  the texts as the code page 936 bytes the program draws from (app/ui_texts.cpp), with a
                     check that each row stands at its UiTextId's index
  ui_text_utf16.h    the same texts as UTF-16, for tests that compare what the dialog shows with the table
From app/dialog_shapes.json:
  dialog_shapes.h    the face's sizes, rectangles, colours and measures as constants (namespace dialog_face)

Usage: gen_dialog.py TEXTS.tsv SHAPES.json OUT_FOLDER
A file whose contents are unchanged is left alone, so nothing that includes it is compiled again.
"""
import json
import os
import sys

CODE_PAGE = "gbk"  # code page 936, the program's bytes for both Chinese columns
COLUMNS = ("simplified", "traditional", "english")


class TableError(Exception):
    pass


def read_texts(path):
    """[(name, simplified, traditional, english)] of the table, checked."""
    rows = []
    with open(path, encoding="utf-8") as f:
        lines = [line.rstrip("\r\n") for line in f]
    header = None
    for number, line in enumerate(lines, 1):
        if not line or line.startswith("#"):
            continue
        fields = line.split("\t")
        if header is None:
            header = fields
            if fields != ["name", *COLUMNS]:
                raise TableError(f"{path}:{number}: the header is not name, {', '.join(COLUMNS)}")
            continue
        if len(fields) != 4 or not fields[0].startswith("kText") or not all(fields):
            raise TableError(f"{path}:{number}: not a name and three texts separated by single tabs")
        for text in fields[1:3]:
            try:
                data = text.encode(CODE_PAGE)
            except UnicodeEncodeError as e:
                raise TableError(f"{path}:{number}: {text!r} has {e.object[e.start:e.end]!r}, not in code page 936")
            if data.decode(CODE_PAGE) != text:
                raise TableError(f"{path}:{number}: {text!r} does not read back from code page 936")
        if not fields[3].isascii():
            raise TableError(f"{path}:{number}: the English text is not ASCII")
        rows.append(tuple(fields))
    if not rows:
        raise TableError(f"{path}: no texts")
    return rows


def narrow_literal(data):
    """A C++ string literal of bytes; octal escapes stop after three digits, so a letter after one stays."""
    out = []
    for b in data:
        if 0x20 <= b < 0x7F and chr(b) not in '"\\':
            out.append(chr(b))
        else:
            out.append("\\%03o" % b)
    return '"' + "".join(out) + '"'


def wide_literal(text):
    out = []
    for ch in text:
        if ch in '"\\':
            out.append("\\" + ch)
        elif 0x20 <= ord(ch) < 0x7F:
            out.append(ch)
        else:
            out.append("\\u%04x" % ord(ch))
    return 'L"' + "".join(out) + '"'


def texts_sources(rows, table):
    note = f"// Generated from {table} by scripts/gen_dialog.py: edit the table, not this file.\n"
    bytes_inc = [note, "// The table's rows stand at their UiTextIds' indices.\n"]
    bytes_inc += [f'static_assert({name} == {i}, "{table}: row {i + 1} is not {name}");\n'
                  for i, (name, *_) in enumerate(rows)]
    bytes_inc.append(f'static_assert(kUiTextCount == {len(rows)}, "{table} has {len(rows)} rows");\n\n')
    bytes_inc.append("// Code page 936 bytes.\nconst TextSet kTexts[kUiTextCount] = {\n")
    for name, *texts in rows:
        data = [text.encode(CODE_PAGE) for text in texts]
        bytes_inc.append(f"    {{{', '.join(narrow_literal(d) for d in data)}}}, // {name}\n")
    bytes_inc.append("};\n")

    utf16 = [note, "// The table's texts as UTF-16: what the dialog shows in each UI language.\n#pragma once\n\n",
             '#include "app/ui_texts.h"\n\n',
             "struct UiTextUtf16 {\n", *(f"    const wchar_t* {c};\n" for c in COLUMNS), "};\n\n",
             "inline constexpr UiTextUtf16 kUiTextsUtf16[kUiTextCount] = {\n"]
    for name, *texts in rows:
        utf16.append(f"    {{{', '.join(wide_literal(t) for t in texts)}}}, // {name}\n")
    utf16.append("};\n")
    return "".join(bytes_inc), "".join(utf16)


def constant_name(key, suffix=""):
    return "k" + key[0].upper() + key[1:] + suffix


def entries(section, path, name):
    if not isinstance(section, dict):
        raise TableError(f"{path}: {name} is not an object")
    return [(k, v) for k, v in section.items() if not k.startswith("_")]


def ints(value, count, low, high):
    return (isinstance(value, list) and len(value) == count and
            all(isinstance(v, int) and not isinstance(v, bool) and low <= v <= high for v in value))


def shapes_source(shapes, path):
    lines = [f"// Generated from {path} by scripts/gen_dialog.py: edit the JSON, not this file.\n",
             "#pragma once\n\n#include <windows.h>\n\nnamespace dialog_face {\n\n"]
    for section in ("sizes", "measures"):
        for key, value in entries(shapes.get(section), path, section):
            if not ints([value], 1, 0, 1 << 16):
                raise TableError(f"{path}: {section}.{key} is not a whole number of pixels")
            lines.append(f"constexpr int {constant_name(key)} = {value};\n")
    for key, value in entries(shapes.get("rects"), path, "rects"):
        if not ints(value, 4, 0, 1 << 16) or value[0] >= value[2] or value[1] >= value[3]:
            raise TableError(f"{path}: rects.{key} is not left, top, right, bottom")
        lines.append(f"constexpr RECT {constant_name(key, 'Rect')}{{{', '.join(map(str, value))}}};\n")
    for key, value in entries(shapes.get("colours"), path, "colours"):
        if not ints(value, 3, 0, 255):
            raise TableError(f"{path}: colours.{key} is not red, green, blue")
        lines.append(f"constexpr COLORREF {constant_name(key, 'Colour')} = RGB({', '.join(map(str, value))});\n")
    lines.append("\n} // namespace dialog_face\n")
    return "".join(lines)


def write_if_changed(path, text):
    try:
        with open(path, encoding="utf-8", newline="") as f:
            if f.read() == text:
                return
    except FileNotFoundError:
        pass
    with open(path, "w", encoding="utf-8", newline="\n") as f:
        f.write(text)


def main(argv):
    if len(argv) != 3:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    texts_path, shapes_path, out = argv
    try:
        bytes_inc, utf16 = texts_sources(read_texts(texts_path), "app/" + os.path.basename(texts_path))
        with open(shapes_path, encoding="utf-8") as f:
            shapes = shapes_source(json.load(f), "app/" + os.path.basename(shapes_path))
    except (TableError, ValueError) as e:
        print(f"gen_dialog.py: {e}", file=sys.stderr)
        return 1
    os.makedirs(out, exist_ok=True)
    write_if_changed(os.path.join(out, "ui_text_bytes.inc"), bytes_inc)
    write_if_changed(os.path.join(out, "ui_text_utf16.h"), utf16)
    write_if_changed(os.path.join(out, "dialog_shapes.h"), shapes)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
