#!/usr/bin/env python3
"""OpenDocument spreadsheets end to end. A workbook written by xlsxwriter (values, formulas naming
their own sheet and another, a chart, a picture, validation, conditional formats, an autofilter)
is converted to .ods by LibreOffice, copied three times by orvandel-cli, and the result is loaded
by LibreOffice again: every copy's formulas compute the source's values, name the copy where the
source named itself, and every copy shows the source's chart. The independent checker judges the
result too. A signed document loses its document signature, and the run says so once."""

import os
import shutil
import subprocess
import sys
import tempfile
import unittest
import zipfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from fixtures import write_rich_workbook  # noqa: E402

import openpyxl  # noqa: E402

CLI = os.environ.get("ORVANDEL_CLI", "orvandel-cli")
CHECKER = os.environ.get("ORVANDEL_CHECKER", "")
OFFICE = shutil.which("soffice") or shutil.which("libreoffice")
SOURCE = "Plan 1"
COPIES = [f"{SOURCE} ({n})" for n in (2, 3, 4)]


def convert(office_profile, path, target, out_dir):
    subprocess.run([OFFICE, f"-env:UserInstallation=file://{office_profile}", "--headless",
                    "--convert-to", target, "--outdir", out_dir, path],
                   check=True, capture_output=True, timeout=240)
    return os.path.join(out_dir, os.path.splitext(os.path.basename(path))[0] + "." + target)


def with_entries(path, extra, manifest_lines):
    """Rewrites the package with `extra` entries (name -> bytes) listed in its manifest; the
    media type entry stays first and stored."""
    with zipfile.ZipFile(path) as z:
        entries = [(i.filename, z.read(i.filename)) for i in z.infolist()]
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as z:
        for name, data in entries:
            if name == "META-INF/manifest.xml":
                data = data.replace(b"</manifest:manifest>",
                                    manifest_lines.encode() + b"</manifest:manifest>")
            z.writestr(name, data, zipfile.ZIP_STORED if name == "mimetype" else zipfile.ZIP_DEFLATED)
        for name, data in extra.items():
            z.writestr(name, data)


@unittest.skipUnless(OFFICE, "LibreOffice is not installed")
class OdsEndToEnd(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.mkdtemp(prefix="orvandel-ods-")
        cls.profile = os.path.join(cls.dir, "profile")
        xlsx = os.path.join(cls.dir, "book.xlsx")
        write_rich_workbook(xlsx, os.path.join(cls.dir, "picture.png"))
        cls.original = convert(cls.profile, xlsx, "ods", os.path.join(cls.dir, "ods"))

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.dir, ignore_errors=True)

    def copy(self, path):
        return subprocess.run([CLI, "copy", path, "--sheet", SOURCE, "--count", "3"],
                              capture_output=True, text=True, timeout=120)

    def test_copies_compute_like_the_source_and_show_its_chart(self):
        result = os.path.join(self.dir, "result.ods")
        shutil.copyfile(self.original, result)
        run = self.copy(result)
        self.assertEqual(run.returncode, 0, run.stderr)
        self.assertEqual(run.stdout.split("\n")[:3], COPIES)
        xlsx = convert(self.profile, result, "xlsx", os.path.join(self.dir, "back"))
        values = openpyxl.load_workbook(xlsx, data_only=True)
        formulas = openpyxl.load_workbook(xlsx)
        self.assertEqual(values.sheetnames, [SOURCE, "Rates"] + COPIES)
        source = values[SOURCE]
        self.assertGreaterEqual(len(source._charts), 1)
        self.assertTrue(any(isinstance(c.value, str) and SOURCE in c.value
                            for row in formulas[SOURCE].iter_rows() for c in row))
        for name in COPIES:
            copy = values[name]
            for row in source.iter_rows():
                for cell in row:
                    self.assertEqual(copy[cell.coordinate].value, cell.value,
                                     f"{name}!{cell.coordinate}")
            self.assertEqual(len(copy._charts), len(source._charts), name)
            texts = [c.value for row in formulas[name].iter_rows() for c in row
                     if isinstance(c.value, str) and c.value.startswith("=")]
            self.assertTrue(texts)
            self.assertFalse([t for t in texts if f"'{SOURCE}'!" in t], name)
        if CHECKER and os.path.exists(CHECKER):
            # Its SheetJS reader hands over OpenDocument formulas in their own bracket syntax,
            # which the checker reads as A1 text: a reference pointed at the copy would look like
            # a changed formula there. LibreOffice's reading of the same formulas is judged.
            checked = subprocess.run(["/usr/bin/python3", CHECKER, self.original, result,
                                      "--source", SOURCE, "--copies", ",".join(COPIES),
                                      "--readers", "libreoffice", "--no-pdf", "--timeout", "300"],
                                     capture_output=True, text=True, timeout=900)
            self.assertEqual(checked.returncode, 0, checked.stdout[-3000:])

    def test_a_document_signature_is_removed_and_said_once(self):
        signed = os.path.join(self.dir, "signed.ods")
        shutil.copyfile(self.original, signed)
        with_entries(signed, {"META-INF/documentsignatures.xml": b"<signatures/>",
                              "META-INF/macrosignatures.xml": b"<signatures/>"},
                     '<manifest:file-entry manifest:full-path="META-INF/documentsignatures.xml" '
                     'manifest:media-type=""/>')
        run = self.copy(signed)
        self.assertEqual(run.returncode, 0, run.stderr)
        said = [line for line in run.stderr.splitlines() if "signature" in line]
        self.assertEqual(len(said), 1, run.stderr)
        with zipfile.ZipFile(signed) as z:
            names = z.namelist()
            self.assertEqual(names[0], "mimetype")
            self.assertEqual(z.getinfo("mimetype").compress_type, zipfile.ZIP_STORED)
            self.assertNotIn("META-INF/documentsignatures.xml", names)
            self.assertIn("META-INF/macrosignatures.xml", names)
            self.assertNotIn(b"documentsignatures", z.read("META-INF/manifest.xml"))


if __name__ == "__main__":
    unittest.main()
