#!/usr/bin/python3
"""Seeds for fuzz_open_copy_save: small workbooks written by xlsxwriter, and a few
small real-world files, each both as written and re-packed with uncompressed
entries (so that byte mutations reach the XML; see the target's mutator)."""

import os
import re
import sys
import zipfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "cli"))
from fixtures import write_rich_workbook, write_table_workbook, write_workbook  # noqa: E402
from objects_test import write_query_workbook, write_table_slicer_workbook  # noqa: E402

CORPUS = os.path.join(os.path.dirname(ROOT), "shared", "corpus")
LARGEST_REAL_FILE = 40_000


def stored_copy(source, target):
    with zipfile.ZipFile(source) as src, zipfile.ZipFile(target, "w", zipfile.ZIP_STORED) as dst:
        for info in src.infolist():
            dst.writestr(info.filename, src.read(info), zipfile.ZIP_STORED)


# Numbers in the legacy drawing at and past the edges of what the engine accepts, and some that
# are no numbers: (seed name, pattern, replacement) applied to the note's VML part.
VML_NUMBERS = [
    ("shape-id-30-digits", rb"_x0000_s\d+", b"_x0000_s" + b"9" * 30),
    ("shape-id-past-31-bits", rb"_x0000_s\d+", b"_x0000_s2147483648"),
    ("shape-id-negative", rb"_x0000_s\d+", b"_x0000_s-1025"),
    ("block-30-digits", rb'data="1"', b'data="' + b"9" * 30 + b'"'),
    ("block-largest", rb'data="1"', b'data="2097151"'),
    ("blocks-spaced-and-empty", rb'data="1"', b'data=" 1, ,x,2"'),
    ("spidmax-30-digits", rb"<o:shapelayout", b'<o:shapedefaults spidmax="' + b"9" * 30
     + b'"/><o:shapelayout'),
    ("attribute-64k", rb'data="1"', b'data="1" x="' + b"a" * 65536 + b'"'),
]


# Numbers in the workbook's own parts out of the range of the types that read them: sheet
# numbers, tab positions, the scope of names, relationship ids and the document properties'
# counts. (seed name, part name ending, pattern, replacement).
PART_NUMBERS = [
    ("sheet-id-30-digits", "workbook.xml", rb'sheetId="\d+"', b'sheetId="' + b"9" * 30 + b'"'),
    ("sheet-id-past-64-bits", "workbook.xml", rb'sheetId="\d+"', b'sheetId="18446744073709551616"'),
    ("active-tab-30-digits", "workbook.xml", rb"<workbookView", b'<workbookView activeTab="'
     + b"9" * 30 + b'"'),
    ("local-sheet-id-int-max", "workbook.xml", rb"</sheets>",
     b'</sheets><definedNames><definedName name="n" localSheetId="2147483647">Data!$A$1'
     b"</definedName></definedNames>"),
    ("rel-id-30-digits", "workbook.xml.rels", rb'Id="rId1"', b'Id="rId' + b"9" * 30 + b'"'),
    ("rel-id-past-31-bits", "workbook.xml.rels", rb'Id="rId1"', b'Id="rId2147483648"'),
    ("app-count-30-digits", "app.xml", rb"<vt:i4>\d+</vt:i4>", b"<vt:i4>" + b"9" * 30 + b"</vt:i4>"),
    ("app-count-int-max", "app.xml", rb"<vt:i4>\d+</vt:i4>", b"<vt:i4>2147483647</vt:i4>"),
]


def edited_copy(source, target, ending, pattern, replacement):
    """A stored copy of `source` with the first match of `pattern` replaced in the parts whose
    names end in `ending`; False when no such part matched."""
    with zipfile.ZipFile(source) as src:
        names = [n for n in src.namelist() if n.endswith(ending)]
        if not any(re.search(pattern, src.read(n)) for n in names):
            return False
        with zipfile.ZipFile(target, "w", zipfile.ZIP_STORED) as dst:
            for info in src.infolist():
                data = src.read(info)
                if info.filename in names:
                    data = re.sub(pattern, replacement, data, count=1)
                dst.writestr(info.filename, data, zipfile.ZIP_STORED)
    return True


def vml_variants(source, out):
    for name, pattern, replacement in VML_NUMBERS:
        edited_copy(source, os.path.join(out, f"vml-{name}-stored.xlsx"), ".vml", pattern,
                    replacement)


def part_variants(source, out):
    for name, ending, pattern, replacement in PART_NUMBERS:
        edited_copy(source, os.path.join(out, f"number-{name}-stored.xlsx"), ending, pattern,
                    replacement)


def main(out):
    os.makedirs(out, exist_ok=True)
    made = []
    for name, sheets, chart in [("one", ("Data",), None), ("three", ("Data", "B", "C"), None),
                                ("chart", ("Report it", "x"), "Chart1")]:
        path = os.path.join(out, f"gen-{name}.xlsx")
        write_workbook(path, sheets, chartsheet=chart)
        made.append(path)
    vml_variants(made[0], out)
    part_variants(made[1], out)
    rich = os.path.join(out, "gen-rich.xlsx")
    write_rich_workbook(rich, os.path.join(out, "picture.png"))
    os.remove(os.path.join(out, "picture.png"))
    made.append(rich)
    # Tables and structured references of every form, to reach the table renaming.
    table = os.path.join(out, "gen-table.xlsx")
    write_table_workbook(table, scoped_formula="=SUM(Sales[Amount])")
    made.append(table)
    # A first sheet whose table is filled by a query, and one with a slicer of its table, to
    # reach the copies of connections and slicer caches.
    for name, write in [("query", write_query_workbook), ("slicer", write_table_slicer_workbook)]:
        path = os.path.join(out, f"gen-{name}.xlsx")
        write(path)
        made.append(path)
    if os.path.isdir(CORPUS):
        for name in sorted(os.listdir(CORPUS)):
            path = os.path.join(CORPUS, name)
            if name.endswith((".xlsx", ".xlsm", ".ods")) and \
                    os.path.getsize(path) <= LARGEST_REAL_FILE:
                target = os.path.join(out, "real-" + name)
                with open(path, "rb") as f, open(target, "wb") as g:
                    g.write(f.read())
                made.append(target)
    for path in made:
        try:
            root, extension = os.path.splitext(path)
            stored_copy(path, root + "-stored" + extension)
        except zipfile.BadZipFile:
            pass  # kept as it is
    print(f"{len(os.listdir(out))} seeds in {out}")
    content_seeds(made, os.path.join(os.path.dirname(out), "fuzz_ods_content"))


def content_seeds(made, out):
    """The document content of each OpenDocument seed, for the content parser's target."""
    os.makedirs(out, exist_ok=True)
    for path in made:
        if path.endswith(".ods"):
            with zipfile.ZipFile(path) as z:
                with open(os.path.join(out, os.path.basename(path) + ".xml"), "wb") as f:
                    f.write(z.read("content.xml"))


if __name__ == "__main__":
    main(sys.argv[1])
