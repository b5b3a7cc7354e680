#!/usr/bin/env python3
"""The sheet's own macro code, copied by orvandel-cli: the VBA project of a macro workbook is
read back with olefile and a decompressor written here from the format's description (no code
shared with the engine), and by LibreOffice, which must list the copies' modules bound to them."""

import os
import pathlib
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest
import zipfile

import olefile

CLI = os.environ.get("ORVANDEL_CLI", "orvandel-cli")
CHECKER = os.environ.get("ORVANDEL_CHECKER", "")
CORPUS = os.path.join(os.path.dirname(CHECKER) or ".", "..", "corpus")
SIGNATURE = "http://schemas.microsoft.com/office/2006/relationships/vbaProjectSignature"


def decompress(data):
    """A compressed container: byte 1, then chunks of a 2-byte header and tokens."""
    if not data or data[0] != 1:
        raise ValueError("no container signature")
    out, at = bytearray(), 1
    while at < len(data):
        header = struct.unpack_from("<H", data, at)[0]
        size, start, end = (header & 0x0FFF) + 3, len(out), at + (header & 0x0FFF) + 3
        if (header >> 12) & 7 != 3 or end > len(data):
            raise ValueError("bad chunk")
        at += 2
        if not header & 0x8000:
            out += data[at:at + 4096]
            at = end
            continue
        while at < end:
            flags, at = data[at], at + 1
            for bit in range(8):
                if at >= end:
                    break
                if not flags >> bit & 1:
                    out.append(data[at])
                    at += 1
                    continue
                token, at = struct.unpack_from("<H", data, at)[0], at + 2
                bits = max((len(out) - start - 1).bit_length(), 4)
                length, offset = (token & (0xFFFF >> bits)) + 3, (token >> (16 - bits)) + 1
                if offset > len(out) - start:
                    raise ValueError("copy before the chunk")
                for _ in range(length):
                    out.append(out[-offset])
    return bytes(out)


def modules(dir_stream):
    """(name, stream name, offset, type id) of every MODULE record of a decompressed dir."""
    found, at, current = [], 0, None
    while at < len(dir_stream):
        rid, size = struct.unpack_from("<HI", dir_stream, at)
        if rid == 0x0009:
            size = 6  # PROJECTVERSION: its size field says 4, then 6 bytes follow
        data, at = dir_stream[at + 6:at + 6 + size], at + 6 + size
        if rid == 0x0019:
            current = {"name": data.decode("latin-1")}
        elif rid == 0x001A:
            current["stream"] = data.decode("latin-1")
        elif rid == 0x0031:
            current["offset"] = struct.unpack("<I", data)[0]
        elif rid in (0x0021, 0x0022):
            current["type"] = rid
        elif rid == 0x002B:
            found.append(current)
        elif rid == 0x0010:
            break
    return found


def project_of(path):
    """The project's streams by path, read with olefile from the workbook at `path`."""
    with zipfile.ZipFile(path) as z:
        ole = olefile.OleFileIO(z.read("xl/vbaProject.bin"))
    return {"/".join(e): ole.openstream(e).read() for e in ole.listdir()}


def code_of(project, module):
    return decompress(project["VBA/" + module["stream"]][module["offset"]:])


def without_name(code):
    return re.sub(rb'(?i)^Attribute VB_Name = "[^"]*"', b"", code)


def code_names(path):
    with zipfile.ZipFile(path) as z:
        names = {}
        for part in z.namelist():
            if re.match(r"xl/(worksheets|chartsheets)/\w+\.xml$", part):
                found = re.search(rb'<sheetPr[^>]* codeName="([^"]+)"', z.read(part))
                if found:
                    names[part] = found.group(1).decode()
        return names


def signed(path):
    """The workbook with a project signature part beside its project."""
    with zipfile.ZipFile(path) as z:
        entries = [(i.filename, z.read(i.filename)) for i in z.infolist()]
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as z:
        for name, data in entries:
            if name == "[Content_Types].xml":
                data = data.replace(b"</Types>", b'<Override PartName="/xl/vbaProjectSignature.bin" '
                                    b'ContentType="application/vnd.ms-office.vbaProjectSignature"/>'
                                    b"</Types>")
            z.writestr(name, data)
        z.writestr("xl/vbaProjectSignature.bin", b"\x00" * 64)
        z.writestr("xl/_rels/vbaProject.bin.rels",
                   '<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n<Relationships '
                   'xmlns="http://schemas.openxmlformats.org/package/2006/relationships">'
                   f'<Relationship Id="rId1" Type="{SIGNATURE}" Target="vbaProjectSignature.bin"/>'
                   "</Relationships>")


def damaged(path):
    with zipfile.ZipFile(path) as z:
        entries = [(i.filename, z.read(i.filename)) for i in z.infolist()]
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as z:
        for name, data in entries:
            z.writestr(name, data[:1500] if name == "xl/vbaProject.bin" else data)


def libreoffice_modules(path, tmp):
    """The document modules LibreOffice lists in the workbook's VBA project (name -> source),
    and each sheet's code name, read over UNO through the checker's headless soffice."""
    sys.path.insert(0, os.path.dirname(CHECKER))
    from check_copy import LibreOffice
    office = LibreOffice(tmp, 300)
    try:
        doc = office.load(path)
        library = doc.BasicLibraries.getByName("VBAProject")
        documents = {name: library.getByName(name) for name in library.getElementNames()
                     if library.getModuleInfo(name).ModuleType == 4}  # a document module
        sheets = [doc.Sheets.getByIndex(i) for i in range(doc.Sheets.getCount())]
        bound = {s.getName(): s.getPropertyValue("CodeName") for s in sheets}
        doc.close(True)
        return documents, bound
    finally:
        office.close()


# label, fixture writer, source sheet, copies, whether the run must succeed, a line the command
# line must print on its error stream, whether the checker and LibreOffice judge the result
CASES = [
    ("plain", lambda path: None, "General", 3, True, None, True),
    ("signed", signed, "Tabelle1", 2, True, "digital signature", False),
    ("damaged project", damaged, "General", 1, False, "macro project", False),
]


class Macros(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="orvandel-macros-test-")
        self.addCleanup(shutil.rmtree, self.dir, True)

    def test_the_decompressor_reads_the_formats_own_examples(self):
        published = bytes.fromhex("01 2F B0 00 23 61 61 61 62 63 64 65 82 66 00 70 61 67 68 69 6A 01 38"
                             " 08 61 6B 6C 00 30 6D 6E 6F 70 06 71 02 70 04 10 72 73 74 75 76 10"
                             " 77 78 79 7A 00 3C")
        self.assertEqual(decompress(published),
                         b"#aaabcdefaaaaghijaaaaaklaaamnopqaaaaaaaaaaaarstuvwxyzaaa")
        self.assertEqual(decompress(bytes.fromhex("01 03 B0 02 61 45 00")), b"a" * 73)

    def test_copies_get_modules_of_their_own(self):
        source_book = os.path.join(CORPUS, "poi_57181.xlsm")
        if not os.path.exists(source_book):
            self.skipTest("the corpus is absent")
        for label, write, source, count, succeeds, line, judged in CASES:
            with self.subTest(case=label):
                original = os.path.join(self.dir, f"{label}.xlsm")
                shutil.copyfile(source_book, original)
                write(original)
                result = os.path.join(self.dir, f"{label}-copied.xlsm")
                shutil.copyfile(original, result)
                before = pathlib.Path(result).read_bytes()
                made = subprocess.run([CLI, "copy", result, "--sheet", source, "--count",
                                       str(count)], capture_output=True, text=True, timeout=120)
                if line:
                    self.assertEqual(made.stderr.count(line), 1, made.stderr)
                if not succeeds:
                    self.assertNotEqual(made.returncode, 0)
                    self.assertEqual(pathlib.Path(result).read_bytes(), before)
                    continue
                self.assertEqual(made.returncode, 0, made.stderr)
                self.check_project(original, result, source, made.stdout.splitlines(), judged)

    def check_project(self, original, result, source, copies, judged):
        old, new = project_of(original), project_of(result)
        old_modules, new_modules = modules(decompress(old["VBA/dir"])), modules(
            decompress(new["VBA/dir"]))
        self.assertEqual(new_modules[:len(old_modules)], old_modules)
        added = new_modules[len(old_modules):]
        self.assertEqual(len(added), len(copies))
        # Every stream but the module list, the project text, the name map and the cache is kept.
        for path, data in old.items():
            if path not in ("VBA/dir", "PROJECT", "PROJECTwm", "VBA/_VBA_PROJECT"):
                self.assertEqual(new.get(path), data, path)
        self.assertEqual(new["VBA/_VBA_PROJECT"], bytes.fromhex("CC61FFFF000100"))
        # The source's code name and module.
        names = code_names(original)
        source_code = next(m for m in old_modules
                           if m["name"].lower() == self.code_name_of(original, source).lower())
        copied = code_names(result)
        new_names = sorted(set(copied.values()) - set(names.values()))
        self.assertEqual(sorted(m["name"] for m in added), new_names)
        text = new["PROJECT"].decode("latin-1")
        for module in added:
            self.assertEqual(module["type"], 0x0022)
            self.assertEqual(module["offset"], 0)
            self.assertEqual(without_name(code_of(new, module)),
                             without_name(code_of(old, source_code)))
            self.assertIn(f'Attribute VB_Name = "{module["name"]}"'.encode(), code_of(new, module))
            self.assertIn(f"Document={module['name']}/", text)
        lowered = [m["name"].lower() for m in new_modules]
        self.assertEqual(len(lowered), len(set(lowered)))
        with zipfile.ZipFile(result) as z:
            self.assertFalse([n for n in z.namelist() if "Signature" in n])
            self.assertNotIn(b"Signature", z.read("[Content_Types].xml"))
        if not judged or not os.path.exists(CHECKER):
            return
        checked = subprocess.run(
            ["/usr/bin/python3", CHECKER, original, result, "--source", source, "--copies",
             ",".join(copies), "--timeout", "300", "--no-pdf"],
            capture_output=True, text=True, timeout=1200,
            env={"SHEETJS_DIR": os.path.expanduser("~/.cache/check_copy"), **os.environ})
        self.assertEqual(checked.returncode, 0, checked.stdout + checked.stderr)
        # LibreOffice binds each copy to a document module of its code name, holding the
        # source's code (it drops the Attribute lines and adds lines of its own).
        documents, bound = libreoffice_modules(result, self.dir)
        last_line = without_name(code_of(old, source_code)).strip().splitlines()[-1]
        for copy in copies:
            self.assertIn(bound[copy], documents)
            self.assertIn(last_line.decode("latin-1").strip(), documents[bound[copy]])

    @staticmethod
    def code_name_of(path, sheet):
        with zipfile.ZipFile(path) as z:
            workbook = z.read("xl/workbook.xml").decode()
            rels = z.read("xl/_rels/workbook.xml.rels").decode()
            rid = re.search(rf'<sheet name="{re.escape(sheet)}"[^>]* r:id="([^"]+)"', workbook)[1]
            target = re.search(rf'Id="{rid}"[^>]* Target="([^"]+)"', rels) or re.search(
                rf'Target="([^"]+)"[^>]* Id="{rid}"', rels)
            part = "xl/" + target[1].lstrip("/").removeprefix("xl/")
            return re.search(rb'<sheetPr[^>]* codeName="([^"]+)"', z.read(part))[1].decode()


if __name__ == "__main__":
    unittest.main()
