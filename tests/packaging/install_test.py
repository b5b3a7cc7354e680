#!/usr/bin/env python3
"""Installs the build into a temporary DESTDIR, as the Debian package does,
and judges the tree: every file in its place and nothing else, the links in
bin/ resolving to the programs with the window's side files beside them, the
installed command running, the icons at their sizes, the manual pages, the
shell completion, and the desktop entry and metadata under their validators
(skipped where a validator is not installed).

Usage: install_test.py BUILD_DIR SOURCE_DIR VERSION WINDOW(ON|OFF) [unittest args]
"""

import gzip
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest
from xml.etree import ElementTree

BUILD, SOURCE, VERSION, WINDOW = sys.argv[1:5]
WINDOW = WINDOW.upper() in ("ON", "1", "TRUE", "YES")
PREFIX = "usr"
PROGRAMS = f"{PREFIX}/lib/orvandel"
ICON_SIZES = (16, 32, 48, 64, 128, 256)
APP_ID = "com.example.Orvandel"


def shipped(folder):
    """The files of a side-file folder of assets/, as installed paths."""
    root = os.path.join(SOURCE, "assets", folder)
    found = []
    for dirpath, _, files in os.walk(root):
        for name in files:
            found.append(os.path.join(PROGRAMS, os.path.relpath(os.path.join(dirpath, name),
                                                                os.path.join(SOURCE, "assets"))))
    return found


def expected_tree():
    tree = [f"{PROGRAMS}/orvandel-cli", f"{PREFIX}/bin/orvandel-cli",
            f"{PREFIX}/share/man/man1/orvandel-cli.1.gz",
            f"{PREFIX}/share/bash-completion/completions/orvandel-cli",
            f"{PREFIX}/share/doc/orvandel/copyright", f"{PREFIX}/share/doc/orvandel/changelog.gz"]
    if WINDOW:
        tree += [f"{PROGRAMS}/orvandel", f"{PROGRAMS}/HAND-M.CUR", f"{PREFIX}/bin/orvandel",
                 f"{PREFIX}/share/man/man1/orvandel.1.gz",
                 f"{PREFIX}/share/applications/orvandel.desktop",
                 f"{PREFIX}/share/metainfo/{APP_ID}.metainfo.xml",
                 f"{PREFIX}/share/icons/hicolor/scalable/apps/orvandel.svg"]
        tree += [f"{PREFIX}/share/icons/hicolor/{s}x{s}/apps/orvandel.png" for s in ICON_SIZES]
        for folder in ("Splash", "Samples", "x"):
            tree += shipped(folder)
    return sorted(tree)


def png_size(path):
    with open(path, "rb") as f:
        head = f.read(24)
    if head[:8] != b"\x89PNG\r\n\x1a\n" or head[12:16] != b"IHDR":
        return None
    return struct.unpack(">II", head[16:24])


class InstalledTree(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.destdir = tempfile.mkdtemp(prefix="orvandel-install-")
        env = dict(os.environ, DESTDIR=cls.destdir)
        result = subprocess.run(["cmake", "--install", BUILD, "--prefix", "/" + PREFIX],
                                env=env, capture_output=True, text=True, timeout=120)
        if result.returncode != 0:
            shutil.rmtree(cls.destdir, True)
            raise RuntimeError("cmake --install failed:\n" + result.stdout + result.stderr)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.destdir, True)

    def path(self, relative):
        return os.path.join(self.destdir, relative)

    def test_every_file_in_place_and_nothing_else(self):
        found = []
        for dirpath, dirs, files in os.walk(self.destdir):
            for name in files + [d for d in dirs if os.path.islink(os.path.join(dirpath, d))]:
                found.append(os.path.relpath(os.path.join(dirpath, name), self.destdir))
        self.assertEqual(sorted(found), expected_tree())

    def test_links_in_bin_reach_the_programs_beside_their_side_files(self):
        for program in ("orvandel-cli", "orvandel") if WINDOW else ("orvandel-cli",):
            with self.subTest(program=program):
                link = self.path(f"{PREFIX}/bin/{program}")
                self.assertTrue(os.path.islink(link), "not a link")
                # Relative, so that the tree works wherever it is unpacked.
                self.assertFalse(os.path.isabs(os.readlink(link)), os.readlink(link))
                target = os.path.realpath(link)
                self.assertEqual(target, os.path.realpath(self.path(f"{PROGRAMS}/{program}")))
                self.assertTrue(os.access(target, os.X_OK), "not executable")
        if WINDOW:
            folder = os.path.dirname(os.path.realpath(self.path(f"{PREFIX}/bin/orvandel")))
            for side in ("HAND-M.CUR", "Splash/orvandel.png"):
                self.assertTrue(os.path.isfile(os.path.join(folder, side)), side)

    def test_installed_command_runs_through_its_link(self):
        result = subprocess.run([self.path(f"{PREFIX}/bin/orvandel-cli"), "--version"],
                                capture_output=True, text=True, timeout=30)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stdout.strip(), f"orvandel-cli {VERSION}")

    @unittest.skipUnless(WINDOW, "built without the window")
    def test_icons_have_their_sizes(self):
        for size in ICON_SIZES:
            icon = self.path(f"{PREFIX}/share/icons/hicolor/{size}x{size}/apps/orvandel.png")
            self.assertEqual(png_size(icon), (size, size), icon)
        svg = ElementTree.parse(self.path(f"{PREFIX}/share/icons/hicolor/scalable/apps/orvandel.svg"))
        self.assertEqual(svg.getroot().tag, "{http://www.w3.org/2000/svg}svg")

    def test_manual_pages_are_man_format(self):
        for page in ("orvandel-cli", "orvandel") if WINDOW else ("orvandel-cli",):
            with self.subTest(page=page):
                with gzip.open(self.path(f"{PREFIX}/share/man/man1/{page}.1.gz"), "rt") as f:
                    text = f.read()
                self.assertRegex(text, rf'(?m)^\.TH "{page}" "1"')
                self.assertIn(".SH NAME", text)

    def test_desktop_entry_and_metadata_validate(self):
        checks = [("desktop-file-validate", f"{PREFIX}/share/applications/orvandel.desktop"),
                  ("appstreamcli", f"{PREFIX}/share/metainfo/{APP_ID}.metainfo.xml")]
        if not WINDOW:
            self.skipTest("built without the window")
        for tool, file in checks:
            with self.subTest(tool=tool):
                if not shutil.which(tool):
                    self.skipTest(f"{tool} is not installed")
                command = [tool, self.path(file)]
                if tool == "appstreamcli":
                    command[1:1] = ["validate", "--no-net"]
                result = subprocess.run(command, capture_output=True, text=True, timeout=60)
                self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
                self.assertNotIn("error:", result.stdout + result.stderr)


# (words on the line, the last one being completed; what the completion offers)
COMPLETIONS = [
    (["", ], ["copy", "sheets"]),
    (["c"], ["copy"]),
    (["--"], ["--help", "--version"]),
    (["copy", ""], ["B.XLS", "a.xlsx", "d e.ods", "sub"]),
    (["sheets", "s"], ["sub"]),
    (["copy", "--sheet", "Data", ""], ["B.XLS", "a.xlsx", "d e.ods", "sub"]),
    (["copy", "a.xlsx", "--s"], ["--save", "--sheet", "--start"]),
    (["copy", "a.xlsx", ""], ["--count", "--dry-run", "--help", "--json", "--names", "--pattern",
                              "--save", "--sheet", "--start"]),
    (["copy", "a.xlsx", "--names", "n"], ["notes.txt"]),
    (["copy", "a.xlsx", "--names", "l.txt", "--start", ""], []),
    (["sheets", "a.xlsx", "--"], ["--help", "--json"]),
    (["copy", "a.xlsx", "--save", ""], ["each", "once"]),
    (["copy", "a.xlsx", "--pattern", ""], []),
    (["sheets", "a.xlsx", ""], []),
]


class Completion(unittest.TestCase):
    def test_completion_offers_commands_options_and_workbooks(self):
        script = os.path.join(SOURCE, "packaging", "orvandel-cli.bash")
        with tempfile.TemporaryDirectory() as folder:
            for name in ("a.xlsx", "B.XLS", "d e.ods", "notes.txt", "c.xlsx.bak"):
                open(os.path.join(folder, name), "w").close()
            os.mkdir(os.path.join(folder, "sub"))
            for words, offered in COMPLETIONS:
                with self.subTest(words=words):
                    line = 'source "$0"; COMP_WORDS=(orvandel-cli "$@"); COMP_CWORD=$#; ' \
                           '_orvandel_cli; printf "%s\\n" "${COMPREPLY[@]}"'
                    result = subprocess.run(["bash", "-c", line, script, *words], cwd=folder,
                                            capture_output=True, text=True, timeout=30)
                    self.assertEqual(result.returncode, 0, result.stderr)
                    self.assertEqual(sorted(filter(None, result.stdout.split("\n"))), offered)


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0]] + sys.argv[5:])
