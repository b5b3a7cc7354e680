#!/usr/bin/python3
"""Seeds for fuzz_open_copy_save: small workbooks written by xlsxwriter, and a few
small real-world files, each both as written and re-packed with uncompressed
entries (so that byte mutations reach the XML; see the target's mutator)."""

import os
import sys
import zipfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "cli"))
from fixtures import write_rich_workbook, write_workbook  # noqa: E402

CORPUS = os.path.join(os.path.dirname(ROOT), "shared", "corpus")
LARGEST_REAL_FILE = 40_000


def stored_copy(source, target):
    with zipfile.ZipFile(source) as src, zipfile.ZipFile(target, "w", zipfile.ZIP_STORED) as dst:
        for info in src.infolist():
            dst.writestr(info.filename, src.read(info), zipfile.ZIP_STORED)


def main(out):
    os.makedirs(out, exist_ok=True)
    made = []
    for name, sheets, chart in [("one", ("Data",), None), ("three", ("Data", "B", "C"), None),
                                ("chart", ("Report it", "x"), "Chart1")]:
        path = os.path.join(out, f"gen-{name}.xlsx")
        write_workbook(path, sheets, chartsheet=chart)
        made.append(path)
    rich = os.path.join(out, "gen-rich.xlsx")
    write_rich_workbook(rich, os.path.join(out, "picture.png"))
    os.remove(os.path.join(out, "picture.png"))
    made.append(rich)
    if os.path.isdir(CORPUS):
        for name in sorted(os.listdir(CORPUS)):
            path = os.path.join(CORPUS, name)
            if name.endswith((".xlsx", ".xlsm")) and os.path.getsize(path) <= LARGEST_REAL_FILE:
                target = os.path.join(out, "real-" + name)
                with open(path, "rb") as f, open(target, "wb") as g:
                    g.write(f.read())
                made.append(target)
    for path in made:
        try:
            stored_copy(path, path[:-5] + "-stored" + path[-5:])
        except zipfile.BadZipFile:
            pass  # kept as it is
    print(f"{len(os.listdir(out))} seeds in {out}")


if __name__ == "__main__":
    main(sys.argv[1])
