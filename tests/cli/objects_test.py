#!/usr/bin/env python3
"""Objects a sheet holds, copied by orvandel-cli: for each kind, a workbook that
holds it is copied three times, judged by the independent checker and read back
by openpyxl, which must find the copy's own objects with fresh names and ids."""

import os
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from fixtures import write_table_workbook  # noqa: E402

import openpyxl  # noqa: E402

CLI = os.environ.get("ORVANDEL_CLI", "orvandel-cli")
CHECKER = os.environ.get("ORVANDEL_CHECKER", "")


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


# label, fixture writer, source sheet, what openpyxl must find on the copies, the checker's readers
# (None: the checker is not run). The checker's SheetJS reader does not see tables, so it cannot
# tell a re-pointed structured reference from a changed formula; its name check compares a cloned
# name with the source's verbatim, apart from the sheet.
FEATURES = [
    ("tables", write_table_workbook, "Shop", check_tables, "openpyxl,libreoffice"),
    ("tables named in a scoped name",
     lambda path: write_table_workbook(path, scoped_formula="=SUM(Sales[Amount])"), "Shop",
     lambda test, book, copies: check_tables(test, book, copies,
                                             lambda own, copy: f"SUM({own}[Amount])"),
     None),
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
                check(self, openpyxl.load_workbook(result), copies)
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
