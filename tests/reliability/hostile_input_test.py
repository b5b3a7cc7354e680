#!/usr/bin/env python3
"""Hostile workbooks against orvandel-cli. Each file is made here from a small
workbook written by xlsxwriter, then altered as an attacker would: parts that
inflate to gigabytes, trees too deep or too wide, entity expansion, long
attributes and numbers in the legacy drawing, relationships pointing outside
the package, entries stored twice, directory records that disagree. Each is
copied under 2 GB of address space and 60 seconds: it must be copied or refused
with a message, never end in a signal or an internal error."""

import os
import re
import resource
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest
import zipfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "cli"))
from fixtures import write_workbook  # noqa: E402

CLI = os.environ.get("ORVANDEL_CLI", "orvandel-cli")
ADDRESS_SPACE = 2 * 1024 ** 3
SECONDS = 60
SHEET = "xl/worksheets/sheet1.xml"
VML = "xl/drawings/vmlDrawing1.vml"
SHEET_RELS = "xl/worksheets/_rels/sheet1.xml.rels"
MB = 1024 * 1024
# A folder to keep the made files in, to measure them by hand.
KEEP = os.environ.get("ORVANDEL_HOSTILE_KEEP", "")


def rewrite(source, target, changes=None, extra=(), streamed=None):
    """Copies the ZIP `source` to `target`: `changes` maps a name to a function
    of the old bytes giving the new ones; `extra` adds (name, bytes) entries at
    the end; `streamed` maps a name to a function yielding the part in chunks."""
    changes = changes or {}
    streamed = streamed or {}
    with zipfile.ZipFile(source) as src, \
            zipfile.ZipFile(target, "w", zipfile.ZIP_DEFLATED, compresslevel=1) as dst:
        for info in src.infolist():
            if info.filename in streamed:
                with dst.open(info.filename, "w") as out:
                    for chunk in streamed[info.filename]():
                        out.write(chunk)
                continue
            data = src.read(info.filename)
            if info.filename in changes:
                data = changes[info.filename](data)
            dst.writestr(info.filename, data)
        for name, data in extra:
            dst.writestr(name, data)


def sheet_with(filler, megabytes):
    """A sheet part whose sheetData holds `megabytes` MB of `filler`, in chunks."""
    def chunks():
        yield (b'<?xml version="1.0" encoding="UTF-8"?><worksheet xmlns="http://schemas.'
               b'openxmlformats.org/spreadsheetml/2006/main"><sheetData>')
        block = filler * (MB // len(filler))
        for _ in range(megabytes):
            yield block
        yield b"</sheetData></worksheet>"
    return chunks


def patch_entry(path, name, field, value, local=True, central=True):
    """Overwrites a 4-byte field of `name` at offset `field` of its local header
    (the central record's are those plus 2, past its "made by" field)."""
    with open(path, "r+b") as f:
        data = bytearray(f.read())
        encoded = name.encode()
        for signature, shift, wanted in ((b"PK\x03\x04", 0, local), (b"PK\x01\x02", 2, central)):
            at = data.find(signature)
            while at >= 0:
                name_at = at + (30 if shift == 0 else 46)
                length = struct.unpack_from("<H", data, at + (26 if shift == 0 else 28))[0]
                if wanted and bytes(data[name_at:name_at + length]) == encoded:
                    struct.pack_into("<I", data, at + field + shift, value)
                at = data.find(signature, at + 4)
        f.seek(0)
        f.write(data)


def rename_local(path, name, other):
    """Gives the local header of `name` the name `other` (same length): the two
    directory records then disagree."""
    with open(path, "r+b") as f:
        at = f.read().find(name.encode())  # the local headers come first
        f.seek(at)
        f.write(other.encode())


def sub(pattern, replacement):
    return lambda data: re.sub(pattern, replacement, data, count=1)


def compound_sparse(path):
    """A compound-file header on a 3 GB sparse file."""
    with open(path, "wb") as f:
        f.write(b"\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1" + bytes(22) + struct.pack("<H", 9))
        f.truncate(3 * 1024 ** 3)


BILLION_LAUGHS = (b'<?xml version="1.0"?><!DOCTYPE w [<!ENTITY a "aaaaaaaaaa">'
                  + b"".join(b'<!ENTITY %c "%s">' % (ord("b") + i, (b"&%c;" % (ord("a") + i)) * 10)
                             for i in range(9))
                  + b']><worksheet xmlns="http://schemas.openxmlformats.org/spreadsheetml/2006/'
                  b'main"><sheetData><row r="1"><c r="A1" t="inlineStr"><is><t>&j;</t></is></c>'
                  b"</row></sheetData></worksheet>")

# name -> (how the file is made from the base workbook, what a refusal must say or None when
# either a copy or any clear refusal will do)
CASES = {
    "part inflating to 1 GB": (
        lambda b, t: rewrite(b, t, streamed={SHEET: sheet_with(b" ", 1024)}),
        "too large to copy on this computer"),
    "part of 200 MB of tiny elements": (
        lambda b, t: rewrite(b, t, streamed={SHEET: sheet_with(b"<row/>", 200)}),
        "too large to copy on this computer"),
    "part larger than its directory record": (
        lambda b, t: (rewrite(b, t, streamed={SHEET: sheet_with(b"<row/>", 32)}),
                      patch_entry(t, SHEET, 22, 1000)),
        "damaged"),
    "nesting a million deep": (
        lambda b, t: rewrite(b, t, changes={SHEET: sub(
            rb"</sheetData>", b'<row r="9"><c r="A9"><is>' + b"<x>" * 1000000
            + b"</x>" * 1000000 + b"</is></c></row></sheetData>")}),
        None),
    "entity expansion": (lambda b, t: rewrite(b, t, changes={SHEET: lambda d: BILLION_LAUGHS}),
                         None),
    "VML attribute of 1 MB": (
        lambda b, t: rewrite(b, t, changes={VML: sub(rb'data="1"', b'data="1" x="'
                                                     + b"a" * MB + b'"')}),
        None),
    "VML idmap of 1 MB": (
        lambda b, t: rewrite(b, t, changes={VML: sub(rb'data="1"', b'data="' + b"1," * (MB // 2)
                                                     + b'1"')}),
        None),
    "VML of 100 000 unclosed tags and attributes": (
        lambda b, t: rewrite(b, t, changes={VML: sub(rb"<o:shapelayout",
                                                     b"<o:idmap x='" * 50000
                                                     + b"spidmax='" * 50000 + b"<o:shapelayout")}),
        None),
    "VML shape id of 30 digits": (
        lambda b, t: rewrite(b, t, changes={VML: sub(rb"_x0000_s\d+", b"_x0000_s" + b"9" * 30)}),
        "vmlDrawing1.vml"),
    "VML block of 30 digits": (
        lambda b, t: rewrite(b, t, changes={VML: sub(rb'data="1"', b'data="' + b"9" * 30 + b'"')}),
        "vmlDrawing1.vml"),
    "VML spidmax of 30 digits": (
        lambda b, t: rewrite(b, t, changes={VML: sub(rb"<o:shapelayout",
                                                     b'<o:shapedefaults spidmax="' + b"9" * 30
                                                     + b'"/><o:shapelayout')}),
        "vmlDrawing1.vml"),
    "relationship targets outside the package": (
        lambda b, t: rewrite(b, t, changes={SHEET_RELS: lambda d: d.replace(
            b"../drawings/vmlDrawing1.vml", b"../../../../../../etc/passwd").replace(
            b"../comments1.xml", b"/../../../../etc/hostname")}),
        None),
    "entry stored twice": (
        lambda b, t: rewrite(b, t, extra=[(SHEET, b"<worksheet/>")]), "stored twice"),
    "local header naming another part": (
        lambda b, t: (rewrite(b, t), rename_local(t, SHEET, SHEET.replace("sheet1", "sheetX"))),
        None),
    "local and central sizes disagreeing": (
        lambda b, t: (rewrite(b, t), patch_entry(t, SHEET, 22, 7, central=False)), None),
    "central size smaller than the data": (
        lambda b, t: (rewrite(b, t), patch_entry(t, SHEET, 22, 7, local=False)), "damaged"),
    "compound file of 3 GB, sparse": (lambda b, t: compound_sparse(t), "not a workbook"),
}


def limited():
    resource.setrlimit(resource.RLIMIT_AS, (ADDRESS_SPACE, ADDRESS_SPACE))


class HostileInput(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.mkdtemp(prefix="orvandel-hostile-")
        cls.base = os.path.join(cls.dir, "base.xlsx")
        write_workbook(cls.base, ("Data",))

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.dir, True)

    def test_each_file_is_copied_or_refused_in_words(self):
        for name, (make, refusal) in CASES.items():
            with self.subTest(name):
                path = os.path.join(self.dir, re.sub(r"\W+", "_", name) + ".xlsx")
                make(self.base, path)
                result = subprocess.run([CLI, "copy", path, "--sheet", "Data", "--count", "2"],
                                        capture_output=True, text=True, timeout=SECONDS,
                                        preexec_fn=limited)
                said = result.stdout + result.stderr
                print(f"{name}: exit {result.returncode}: {said.strip()[:160]}", file=sys.stderr)
                if KEEP:
                    shutil.move(path, KEEP)
                else:
                    os.remove(path)
                self.assertGreaterEqual(result.returncode, 0, f"killed by a signal: {said}")
                self.assertNotIn("internal error", said)
                if result.returncode != 0:
                    self.assertRegex(result.stderr, r"Cannot open '[^']+': \S")
                if refusal:
                    self.assertNotEqual(result.returncode, 0, said)
                    self.assertIn(refusal, result.stderr)


if __name__ == "__main__":
    unittest.main()
