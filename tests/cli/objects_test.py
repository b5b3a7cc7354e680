#!/usr/bin/env python3
"""Objects a sheet holds, copied by orvandel-cli: for each kind, a workbook that
holds it is copied three times, judged by the independent checker and read back
by openpyxl, which must find the copy's own objects with fresh names and ids."""

import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest
import zipfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from fixtures import write_table_workbook  # noqa: E402

import openpyxl  # noqa: E402

CLI = os.environ.get("ORVANDEL_CLI", "orvandel-cli")
CHECKER = os.environ.get("ORVANDEL_CHECKER", "")
CORPUS = os.path.join(os.path.dirname(CHECKER) or ".", "..", "corpus")
THREADS = "http://schemas.microsoft.com/office/2017/10/relationships/threadedComment"
NOTES = "http://schemas.openxmlformats.org/officeDocument/2006/relationships/comments"
TABLE = "http://schemas.openxmlformats.org/officeDocument/2006/relationships/table"
VIEWS = "http://schemas.microsoft.com/office/2019/04/relationships/namedSheetView"
PIVOT = "http://schemas.openxmlformats.org/officeDocument/2006/relationships/pivotTable"


def corpus_workbook(name):
    return lambda path: shutil.copyfile(os.path.join(CORPUS, name), path)


def add_parts(path, parts, sheet_rels, content_types):
    """Adds `parts` (name -> text), relationships to the sheet's .rels part and Overrides."""
    with zipfile.ZipFile(path) as z:
        entries = [(i.filename, z.read(i.filename)) for i in z.infolist()]
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as z:
        for name, data in entries:
            if name == sheet_rels[0]:
                data = data.replace(b"</Relationships>", sheet_rels[1].encode() + b"</Relationships>")
            elif name == "[Content_Types].xml":
                data = data.replace(b"</Types>", content_types.encode() + b"</Types>")
            z.writestr(name, data)
        for name, text in parts.items():
            z.writestr(name, text)


def write_view_workbook(path):
    """The table workbook, with a named sheet view of "Shop" that filters its table."""
    write_table_workbook(path)
    add_parts(
        path,
        {"xl/namedSheetViews/namedSheetView1.xml":
         '<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n<namedSheetViews xmlns='
         '"http://schemas.microsoft.com/office/spreadsheetml/2019/namedsheetviews"><namedSheetView '
         'name="Mine" id="{5B3F9B0E-6E0C-4E4A-9E1D-2C1C43E0D001}"><nsvFilter filterId='
         '"{5B3F9B0E-6E0C-4E4A-9E1D-2C1C43E0D002}" ref="A1:D5" tableId="1"/></namedSheetView>'
         '</namedSheetViews>'},
        ("xl/worksheets/_rels/sheet1.xml.rels",
         f'<Relationship Id="rId99" Type="{VIEWS}" Target="../namedSheetViews/namedSheetView1.xml"/>'),
        '<Override PartName="/xl/namedSheetViews/namedSheetView1.xml" '
        'ContentType="application/vnd.ms-excel.namedsheetviews+xml"/>')


def write_threaded_workbook(path):
    """A workbook from the corpus whose sheet "File" holds a threaded comment and its legacy
    note, with a reply added to the thread."""
    with zipfile.ZipFile(os.path.join(CORPUS, "poi_64759.xlsx")) as z:
        entries = [(i.filename, z.read(i.filename)) for i in z.infolist()]
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as z:
        for name, data in entries:
            if name == "xl/threadedComments/threadedComment1.xml":
                first = re.search(rb'<threadedComment ref="C2"[^>]*personId="([^"]+)" '
                                  rb'id="([^"]+)"', data)
                reply = (b'<threadedComment ref="C2" dT="2020-09-22T10:00:00.00" personId="'
                         + first.group(1) + b'" id="{11111111-2222-4333-8444-555555555555}" '
                         b'parentId="' + first.group(2) + b'"><text>a reply</text>'
                         b'</threadedComment></ThreadedComments>')
                data = data.replace(b"</ThreadedComments>", reply)
            z.writestr(name, data)


def sheet_parts(z, sheets):
    """Each sheet's related parts by relationship type, for the sheets named `sheets`."""
    book = z.read("xl/workbook.xml").decode()
    rels = z.read("xl/_rels/workbook.xml.rels").decode()
    targets = dict(re.findall(r'Id="([^"]+)"[^>]*Target="([^"]+)"', rels))
    targets.update({i: t for t, i in re.findall(r'Target="([^"]+)"[^>]*Id="([^"]+)"', rels)})
    result = {}
    for name, rid in re.findall(r'<sheet name="([^"]+)"[^>]*r:id="([^"]+)"', book):
        if name not in sheets:
            continue
        part = "xl/" + targets[rid].lstrip("/").removeprefix("xl/")
        folder, base = part.rsplit("/", 1)
        own = z.read(f"{folder}/_rels/{base}.rels").decode()
        found = re.findall(r'Type="([^"]+)" Target="([^"]+)"', own)
        result[name] = {t: os.path.normpath(f"{folder}/{target}") for t, target in found}
        result[name]["all"] = [(t, os.path.normpath(f"{folder}/{target}")) for t, target in found]
        result[name]["part"] = part
    return result


def scoped_names(book, position):
    return {n.name: n.attr_text for n in book.defined_names.definedName
            if n.localSheetId == position}


def check_tables(test, book, copies, scoped=lambda own, copy: f"SUM('{copy}'!$D$2:$D$4)"):
    """Each copy has its own "Sales" under the next free name, with its formulas."""
    names = [book[c].tables for c in copies]
    test.assertEqual([list(t.keys()) for t in names], [["Sales4"], ["Sales5"], ["Sales6"]])
    tables = [t for ws in book.worksheets for t in ws.tables.values()]
    test.assertEqual(len({t.id for t in tables}), len(tables))
    source = book["Shop"].tables["Sales"]
    for copy, table in zip(copies, [t for n in names for t in n.values()]):
        with test.subTest(copy=copy):
            ws = book[copy]
            own = table.displayName
            test.assertEqual((table.ref, table.autoFilter.ref), (source.ref, source.autoFilter.ref))
            amount = table.tableColumns[3]
            test.assertEqual(amount.calculatedColumnFormula.attr_text,
                             source.tableColumns[3].calculatedColumnFormula.attr_text)
            test.assertEqual(amount.totalsRowFunction, "sum")
            test.assertEqual([ws[c].value for c in ("F2", "F3", "F4", "F5")],
                             [f"=SUM({own}[Amount])", f"={own}[[#This Row],[Qty]]",
                              f"=ROWS({own}[#All])", "=SUM(Sales2[Rate])"])
            test.assertEqual(scoped_names(book, book.sheetnames.index(copy))["ShopTotal"],
                             scoped(own, copy))
    test.assertEqual(book["Shop"]["F2"].value, "=SUM(Sales[Amount])")
    test.assertEqual(book["Summary"]["A1"].value, "=SUM(Sales[Amount])")
    test.assertEqual(list(book["Rates"].tables.keys()), ["Sales2"])


def check_threads(test, path, copies):
    """Each copy's threads have ids of their own, its reply names its own parent, and its legacy
    note names its own thread."""
    with zipfile.ZipFile(path) as z:
        parts = sheet_parts(z, ["File", *copies])
        seen = set()
        for sheet in ["File", *copies]:
            threads = z.read(parts[sheet][THREADS]).decode()
            notes = z.read(parts[sheet][NOTES]).decode()
            ids = re.findall(r' id="(\{[^"]+\})"', threads)
            parents = re.findall(r'parentId="(\{[^"]+\})"', threads)
            with test.subTest(sheet=sheet):
                test.assertEqual(len(ids), 2)
                test.assertFalse(seen & set(ids))
                test.assertEqual(parents, ids[:1])
                test.assertIn(f"tc={ids[0]}", notes)
                test.assertIn(f'xr:uid="{ids[0]}"', notes)
            seen |= set(ids)
        test.assertEqual(len({parts[s][THREADS] for s in ["File", *copies]}), 4)


def check_views(test, path, copies):
    """Each copy's view has GUIDs of its own and filters the copy's table."""
    with zipfile.ZipFile(path) as z:
        parts = sheet_parts(z, ["Shop", *copies])
        seen = set()
        for sheet in ["Shop", *copies]:
            view = z.read(parts[sheet][VIEWS]).decode()
            table = re.search(r'<table[^>]* id="(\d+)"', z.read(parts[sheet][TABLE]).decode())
            guids = set(re.findall(r'"(\{[0-9A-F-]{36}\})"', view))
            with test.subTest(sheet=sheet):
                test.assertEqual(len(guids), 2)
                test.assertFalse(seen & guids)
                test.assertIn(f'tableId="{table.group(1)}"', view)
                test.assertIn('name="Mine"', view)
            seen |= guids
        test.assertEqual(len({parts[s][VIEWS] for s in ["Shop", *copies]}), 4)


def check_pivots(test, path, copies):
    """Each copy has a pivot table of its own, on the source's cache, where the source has it."""
    with zipfile.ZipFile(path) as z:
        parts = sheet_parts(z, ["PivotTable", *copies])
        book = z.read("xl/workbook.xml").decode()
        test.assertEqual(len(re.findall(r"<pivotCache ", book)), 1)
        source = z.read(parts["PivotTable"][PIVOT]).decode()
        keys = lambda xml: re.search(r'name="([^"]+)" cacheId="(\d+)"', xml).groups() + \
            re.search(r'<location ref="([^"]+)"', xml).groups()  # noqa: E731
        for copy in copies:
            with test.subTest(copy=copy):
                test.assertEqual(keys(z.read(parts[copy][PIVOT]).decode()), keys(source))
        test.assertEqual(len({parts[s][PIVOT] for s in ["PivotTable", *copies]}), 4)
        caches = [n for n in z.namelist() if n.startswith("xl/pivotCache/pivotCacheDefinition")]
        test.assertEqual(len(caches), 1)


def embedded_check(rel_type, element):
    """Each copy owns its objects (relationship `rel_type`), and the shapes its <`element`>s name
    are shapes of its own legacy drawing, not the source's."""
    vml_type = "http://schemas.openxmlformats.org/officeDocument/2006/relationships/vmlDrawing"

    def check(test, path, copies):
        with zipfile.ZipFile(path) as z:
            sheets = re.findall(r'<sheet name="([^"]+)"', z.read("xl/workbook.xml").decode())
            source = next(n for n in sheets if f"{n} (2)" in copies)
            parts = sheet_parts(z, [source, *copies])
            owned, shapes = {}, {}
            for sheet in [source, *copies]:
                owned[sheet] = {p for t, p in parts[sheet]["all"] if t.endswith(rel_type)}
                xml = z.read(parts[sheet]["part"]).decode()
                named = set(re.findall(rf'<{element} [^>]*shapeId="(\d+)"', xml))
                vml = "".join(z.read(p).decode("utf-8", "replace")
                              for t, p in parts[sheet]["all"] if t == vml_type)
                with test.subTest(sheet=sheet):
                    test.assertTrue(owned[sheet] and named)
                    test.assertTrue(all(f"_x0000_s{n}" in vml for n in named), named)
                shapes[sheet] = named
            for copy in copies:
                test.assertFalse(owned[copy] & owned[source])
                test.assertFalse(shapes[copy] & shapes[source])
            test.assertEqual(len(set.union(*owned.values())),
                             sum(len(o) for o in owned.values()))
    return check


# label, fixture writer, source sheet, what openpyxl must find on the copies, the checker's readers
# (None: the checker is not run). The checker's SheetJS reader does not see tables, so it cannot
# tell a re-pointed structured reference from a changed formula; its name check compares a cloned
# name with the source's verbatim, apart from the sheet.
FEATURES = [
    ("tables", write_table_workbook, "Shop",
     lambda test, path, copies: check_tables(test, openpyxl.load_workbook(path), copies),
     "openpyxl,libreoffice"),
    ("tables named in a scoped name",
     lambda path: write_table_workbook(path, scoped_formula="=SUM(Sales[Amount])"), "Shop",
     lambda test, path, copies: check_tables(test, openpyxl.load_workbook(path), copies,
                                             lambda own, copy: f"SUM({own}[Amount])"),
     None),
    ("named sheet views", write_view_workbook, "Shop", check_views, "openpyxl,libreoffice"),
    ("pivot tables", corpus_workbook("poi_DataTableCities.xlsx"), "PivotTable", check_pivots,
     "openpyxl,sheetjs,libreoffice"),
    ("embedded OLE objects", corpus_workbook("poi_58325_db.xlsx"), "MetasNM001",
     embedded_check("/oleObject", "oleObject"), "openpyxl,sheetjs,libreoffice"),
    ("ActiveX controls", corpus_workbook("poi_45540_form_Header.xlsx"), "Application Form (CEP)",
     embedded_check("/control", "control"), "openpyxl,sheetjs,libreoffice"),
    ("threaded comments", write_threaded_workbook, "File", check_threads,
     "openpyxl,sheetjs,libreoffice"),
]


class Objects(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="orvandel-objects-test-")
        self.addCleanup(shutil.rmtree, self.dir, True)

    def test_copies_carry_their_own_objects_and_pass_the_checker(self):
        for label, write, source, check, readers in FEATURES:
            with self.subTest(feature=label):
                original = os.path.join(self.dir, f"{label}.xlsx")
                write(original)
                result = os.path.join(self.dir, f"{label}-copied.xlsx")
                shutil.copyfile(original, result)
                made = subprocess.run([CLI, "copy", result, "--sheet", source, "--count", "3"],
                                      capture_output=True, text=True, timeout=120)
                self.assertEqual(made.returncode, 0, made.stderr)
                copies = made.stdout.splitlines()
                self.assertEqual(len(copies), 3)
                check(self, result, copies)
                if not readers or not os.path.exists(CHECKER):
                    continue
                checked = subprocess.run(
                    ["/usr/bin/python3", CHECKER, original, result, "--source", source,
                     "--copies", ",".join(copies), "--readers", readers, "--timeout", "300"],
                    capture_output=True, text=True, timeout=900,
                    env={"SHEETJS_DIR": os.path.expanduser("~/.cache/check_copy"), **os.environ})
                self.assertEqual(checked.returncode, 0, checked.stdout + checked.stderr)


if __name__ == "__main__":
    unittest.main()
