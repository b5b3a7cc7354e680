#!/usr/bin/env python3
"""End-to-end tests of orvandel-cli: each case runs the real program on a
workbook written at test time and judges its exit status, its output and the
file it leaves behind."""

import json
import os
import pty
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from checker import run_checker  # noqa: E402
from fixtures import (declare_every_part_by_override, parts_without_content_type,  # noqa: E402
                      write_hidden_workbook, write_rich_workbook, write_workbook)

import openpyxl  # noqa: E402

CLI = os.environ.get("ORVANDEL_CLI", "orvandel-cli")
# The Windows build runs under Wine, which keeps its settings in the user's folder and cannot
# run as another user; as root, Unix permissions then deny nothing.
UNDER_WINE = os.environ.get("ORVANDEL_CLI_WINE") == "1"
WINE_AS_ROOT = UNDER_WINE and os.geteuid() == 0
CONFLICT = " already exists. Try using [x] or renaming the sheet name."
CHECKER = os.environ.get("ORVANDEL_CHECKER", "")


def run(*args, timeout=120, stdin=None):
    return subprocess.run([CLI, *args], capture_output=True, text=True, timeout=timeout,
                          input=stdin)


def read_bytes(path):
    with open(path, "rb") as f:
        return f.read()


class WorkbookCase(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="orvandel-cli-test-")
        self.addCleanup(shutil.rmtree, self.dir, True)

    def book(self, *sheet_names, name="book.xlsx", chartsheet=None):
        path = os.path.join(self.dir, name)
        write_workbook(path, sheet_names or ("Data",), chartsheet=chartsheet)
        return path

    def sheets(self, path):
        result = run("sheets", path)
        self.assertEqual(result.returncode, 0, result.stderr)
        return result.stdout.splitlines()

    def assertNoStrayFiles(self, *expected):
        self.assertEqual(sorted(os.listdir(self.dir)), sorted(expected))


class Version(unittest.TestCase):
    def test_version_is_printed_and_exits_0(self):
        result = run("--version")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertRegex(result.stdout.strip(), r"^orvandel-cli \d+\.\d+\.\d+$")


class UsageErrors(WorkbookCase):
    def test_usage_errors_exit_2_and_leave_the_file_alone(self):
        path = self.book("Data")
        before = read_bytes(path)
        cases = {
            "no command": [],
            "unknown command": ["duplicate", path],
            "sheets without a book": ["sheets"],
            "copy without --sheet": ["copy", path, "--count", "2"],
            "copy without --count": ["copy", path, "--sheet", "Data"],
            "negative count": ["copy", path, "--sheet", "Data", "--count", "-1"],
            "fractional count": ["copy", path, "--sheet", "Data", "--count", "1.5"],
            "word as count": ["copy", path, "--sheet", "Data", "--count", "three"],
            "empty count": ["copy", path, "--sheet", "Data", "--count", ""],
            "count with a sign": ["copy", path, "--sheet", "Data", "--count", "+2"],
            "count past 32 bits": ["copy", path, "--sheet", "Data", "--count", "4294967297"],
            "unknown --save": ["copy", path, "--sheet", "Data", "--count", "1", "--save", "never"],
            "unknown option": ["copy", path, "--sheet", "Data", "--count", "1", "--force"],
            "extra argument": ["copy", path, "extra", "--sheet", "Data", "--count", "1"],
            "--count with --names": ["copy", path, "--sheet", "Data", "--count", "1", "--names", "-"],
            "neither --count nor --names": ["copy", path, "--sheet", "Data"],
            "--names with --pattern": ["copy", path, "--sheet", "Data", "--names", "-",
                                       "--pattern", "D[x]"],
            "--start without a pattern": ["copy", path, "--sheet", "Data", "--count", "1",
                                          "--start", "3"],
            "negative --start": ["copy", path, "--sheet", "Data", "--count", "1", "--pattern",
                                 "D[x]", "--start", "-3"],
        }
        for label, args in cases.items():
            with self.subTest(label):
                result = run(*args)
                self.assertEqual(result.returncode, 2, result.stderr)
                self.assertEqual(result.stdout, "")
                self.assertNotEqual(result.stderr.strip(), "")
        self.assertEqual(read_bytes(path), before)

    def test_count_message_names_the_bad_value(self):
        result = run("copy", self.book("Data"), "--sheet", "Data", "--count", "three")
        self.assertIn('"three"', result.stderr)
        self.assertIn("whole number", result.stderr)


class Sheets(WorkbookCase):
    def test_lists_worksheets_in_workbook_order_without_chart_sheets(self):
        path = self.book("Zeta", "Two words", "Ünïcode", "alpha", chartsheet="Chart1")
        self.assertEqual(self.sheets(path), ["Zeta", "Two words", "Ünïcode", "alpha"])


class Copy(WorkbookCase):
    def test_copies_keep_automatic_names_without_a_pattern(self):
        path = self.book("Data", "Other")
        result = run("copy", path, "--sheet", "Data", "--count", "3")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stdout.splitlines(), ["Data (2)", "Data (3)", "Data (4)"])
        self.assertEqual(result.stderr, "")  # no progress bar when stderr is no terminal
        self.assertEqual(self.sheets(path), ["Data", "Other", "Data (2)", "Data (3)", "Data (4)"])
        self.assertNoStrayFiles("book.xlsx")

    def test_copy_holds_the_source_cells_and_formula_points_at_the_copy(self):
        path = self.book("Data")
        self.assertEqual(run("copy", path, "--sheet", "Data", "--count", "1",
                             "--pattern", "Day[x]").returncode, 0)
        book = openpyxl.load_workbook(path)
        source, copy = book["Data"], book["Day1"]
        for cell in ("A1", "A2", "A4", "B3", "D1"):
            self.assertEqual(copy[cell].value, source[cell].value, cell)
        unquoted = lambda formula: re.sub(r"'([^'!]+)'!", r"\1!", formula)  # noqa: E731
        self.assertEqual(unquoted(source["B5"].value), "=SUM(Data!B2:B4)")
        self.assertEqual(unquoted(copy["B5"].value), "=SUM(Day1!B2:B4)")
        self.assertEqual([str(r) for r in copy.merged_cells.ranges], ["D1:E1"])

    def test_source_is_found_ignoring_case_and_among_all_sheets(self):
        path = self.book("Data", chartsheet="Chart1")
        result = run("copy", path, "--sheet", "data", "--count", "1")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stdout, "Data (2)\n")

    def test_pattern_names_each_copy(self):
        cases = [
            ("Day[x]", 3, ["Day1", "Day2", "Day3"]),
            ("[x]", 2, ["1", "2"]),
            ("Copy [x] of [x]", 2, ["Copy 1 of 1", "Copy 2 of 2"]),
            ("[[x]]", 1, ["1"]),
            ("Week [x]" + "é" * 30, 1, ["Week 1" + "é" * 24]),
        ]
        for pattern, count, names in cases:
            with self.subTest(pattern):
                path = self.book("Data", name=f"p{count}{len(pattern)}.xlsx")
                result = run("copy", path, "--sheet", "Data", "--count", str(count),
                             "--pattern", pattern)
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertEqual(result.stdout.splitlines(), names)
                self.assertEqual(self.sheets(path), ["Data", *names])

    def test_zero_copies_changes_nothing(self):
        path = self.book("Data")
        before = read_bytes(path)
        for save in ("each", "once"):
            with self.subTest(save):
                result = run("copy", path, "--sheet", "Data", "--count", "0", "--save", save)
                self.assertEqual((result.returncode, result.stdout, result.stderr), (0, "", ""))
        self.assertEqual(read_bytes(path), before)

    def test_save_once_and_each_give_the_same_sheets(self):
        for pattern in (None, "Day[x]"):
            with self.subTest(pattern=pattern):
                outputs = []
                for save in ("each", "once"):
                    path = self.book("Data", "Day2", name=f"{save}.xlsx")
                    args = ["copy", path, "--sheet", "Data", "--count", "4", "--save", save]
                    if pattern:
                        args += ["--pattern", pattern]
                    result = run(*args)
                    book = openpyxl.load_workbook(path)
                    cells = [[c.value for c in row] for ws in book.worksheets
                             for row in ws.iter_rows()]
                    outputs.append((result.returncode, result.stdout, result.stderr,
                                    self.sheets(path), cells))
                self.assertEqual(outputs[0], outputs[1])

    @unittest.skipIf(UNDER_WINE, "Wine shows a Unix terminal to Windows programs as no console")
    def test_progress_bar_only_on_a_terminal(self):
        path = self.book("Data")
        leader, follower = pty.openpty()
        try:
            result = subprocess.run([CLI, "copy", path, "--sheet", "Data", "--count", "2"],
                                    stdout=subprocess.PIPE, stderr=follower, timeout=120)
            os.close(follower)
            follower = None
            shown = b""
            while True:
                try:
                    chunk = os.read(leader, 4096)
                except OSError:  # the terminal is closed once the program is gone
                    break
                if not chunk:
                    break
                shown += chunk
        finally:
            if follower is not None:
                os.close(follower)
            os.close(leader)
        self.assertEqual(result.returncode, 0)
        self.assertEqual(result.stdout, b"Data (2)\nData (3)\n")
        self.assertIn(b"copy 2 of 2", shown)


class Conflicts(WorkbookCase):
    def test_conflicting_candidates_are_refused_and_the_run_goes_on(self):
        path = self.book("Data", "Day2")
        result = run("copy", path, "--sheet", "Data", "--count", "3", "--pattern", "Day[x]")
        self.assertEqual(result.returncode, 1)
        self.assertEqual(result.stdout.splitlines(), ["Day1", "Day3"])
        self.assertIn("Day2" + CONFLICT + "\n", result.stderr)
        self.assertEqual(self.sheets(path), ["Data", "Day2", "Day1", "Day3"])

    def test_names_made_earlier_in_the_run_conflict(self):
        path = self.book("Data")
        result = run("copy", path, "--sheet", "Data", "--count", "3", "--pattern", "Fixed",
                     "--save", "once")
        self.assertEqual(result.returncode, 1)
        self.assertEqual(result.stdout, "Fixed\n")
        self.assertEqual(result.stderr.count("Fixed" + CONFLICT), 2)
        self.assertEqual(self.sheets(path), ["Data", "Fixed"])

    def test_conflict_check_is_exact_and_the_engine_refuses_case_duplicates(self):
        # "day1" does not make "Day1" a conflict, but no workbook can hold both:
        # the copy is made, keeps its automatic name, and the run reports it.
        path = self.book("Data", "day1")
        result = run("copy", path, "--sheet", "Data", "--count", "1", "--pattern", "Day[x]")
        self.assertEqual(result.returncode, 1)
        self.assertNotIn(CONFLICT, result.stderr)
        self.assertIn('could not be named "Day1"', result.stderr)
        self.assertEqual(result.stdout, "Data (2)\n")
        self.assertEqual(self.sheets(path), ["Data", "day1", "Data (2)"])

    def test_candidates_equal_after_cleaning_are_checked_before_cleaning(self):
        # Both candidates clean to the same 30 characters; only the engine can
        # tell, so the second copy is refused its name, not its making.
        path = self.book("Data")
        pattern = "A" * 30 + "[x]"
        result = run("copy", path, "--sheet", "Data", "--count", "2", "--pattern", pattern)
        self.assertEqual(result.returncode, 1)
        self.assertNotIn(CONFLICT, result.stderr)
        self.assertEqual(result.stdout.splitlines(), ["A" * 30, "Data (2)"])


class BadInput(WorkbookCase):
    def assertClearFailure(self, result, mention):
        self.assertEqual(result.returncode, 1, result.stderr)
        self.assertEqual(result.stdout, "")
        message = result.stderr.strip()
        self.assertIn(mention, message)
        self.assertNotIn("internal error", message)
        self.assertLess(len(message.splitlines()), 4, message)

    def test_unreadable_workbooks_exit_1_with_a_clear_message(self):
        missing = os.path.join(self.dir, "missing.xlsx")
        text = os.path.join(self.dir, "notes.xlsx")
        with open(text, "w") as f:
            f.write("name,value\nnorth,1\n")
        empty = os.path.join(self.dir, "empty.xlsx")
        open(empty, "wb").close()
        broken = os.path.join(self.dir, "broken.xlsx")
        with open(self.book("Data", name="whole.xlsx"), "rb") as f:
            data = f.read()
        with open(broken, "wb") as f:
            f.write(data[: len(data) // 2])
        for path in (missing, text, empty, broken, self.dir):
            for args in (["sheets", path], ["copy", path, "--sheet", "Data", "--count", "2"]):
                with self.subTest(path=os.path.basename(path), command=args[0]):
                    self.assertClearFailure(run(*args), os.path.basename(path))
        self.assertFalse(os.path.exists(missing))
        self.assertEqual(read_bytes(broken), data[: len(data) // 2])
        self.assertNoStrayFiles("notes.xlsx", "empty.xlsx", "broken.xlsx", "whole.xlsx")

    def test_missing_unreadable_and_folder_are_told_apart(self):
        # Root reads any file, so under root the program runs as nobody.
        os.chmod(self.dir, 0o755)
        unreadable = self.book("Data", name="secret.xlsx")
        os.chmod(unreadable, 0o000)
        folder = os.path.join(self.dir, "folder.xlsx")
        os.mkdir(folder)
        who = {"user": 65534, "group": 65534} if os.geteuid() == 0 and not WINE_AS_ROOT else {}
        cases = {os.path.join(self.dir, "missing.xlsx"): "the file does not exist",
                 unreadable: "the file cannot be read (permission denied)",
                 folder: "it is a folder"}
        if WINE_AS_ROOT:
            del cases[unreadable]
        for path, reason in cases.items():
            with self.subTest(os.path.basename(path)):
                result = subprocess.run([CLI, "sheets", path], capture_output=True, text=True,
                                        timeout=60, **who)
                self.assertClearFailure(result, reason)

    def test_pattern_that_can_name_no_copy_is_refused_before_any_copy(self):
        path = self.book("Data")
        before = read_bytes(path)
        cases = {"Day:[x]": "contains the character ':'", "'Day[x]": "apostrophe",
                 "Day[x]'": "apostrophe", "Day[x:0]": "without a width"}
        for pattern, reason in cases.items():
            for save in ("each", "once"):
                with self.subTest(pattern=pattern, save=save):
                    result = run("copy", path, "--sheet", "Data", "--count", "3",
                                 "--pattern", pattern, "--save", save)
                    self.assertClearFailure(result, reason)
                    self.assertIn("No copy was made", result.stderr)
                    self.assertEqual(read_bytes(path), before)

    def test_missing_source_sheet_exits_1_before_any_copy(self):
        path = self.book("Data")
        before = read_bytes(path)
        for save in ("each", "once"):
            with self.subTest(save):
                result = run("copy", path, "--sheet", "Nope", "--count", "2", "--save", save)
                self.assertClearFailure(result, "Nope")
        self.assertEqual(read_bytes(path), before)

    @unittest.skipIf(WINE_AS_ROOT, "under Wine as root no folder is read-only")
    def test_read_only_folder_fails_the_save_and_keeps_the_file(self):
        # Root writes into read-only folders, so under root the program runs as nobody.
        path = self.book("Data")
        before = read_bytes(path)
        os.chmod(self.dir, 0o555)
        os.chmod(path, 0o644)
        self.addCleanup(os.chmod, self.dir, 0o755)
        who = {"user": 65534, "group": 65534} if os.geteuid() == 0 else {}
        for save in ("each", "once"):
            with self.subTest(save):
                result = subprocess.run([CLI, "copy", path, "--sheet", "Data", "--count", "2",
                                         "--save", save], capture_output=True, text=True,
                                        timeout=120, **who)
                self.assertEqual(result.returncode, 1, result.stderr)
                self.assertIn("book.xlsx", result.stderr)
                self.assertNotIn("internal error", result.stderr)
        self.assertEqual(read_bytes(path), before)
        self.assertNoStrayFiles("book.xlsx")


class Names(WorkbookCase):
    def names_file(self, content):
        path = os.path.join(self.dir, "names.txt")
        with open(path, "wb") as f:
            f.write(content)
        return path

    def test_valid_lists_name_the_copies_in_list_order(self):
        cases = {
            "plain": (b"North\nSouth\n", ["North", "South"]),
            "mark, CR LF, blank lines": (b"\xef\xbb\xbfNorth\r\n\r\n \t\nSouth", ["North", "South"]),
            "31 characters": (("Z\u00fcrich\n" + "\u00e9" * 31).encode(), ["Z\u00fcrich", "\u00e9" * 31]),
            "no names": (b"\n\n", []),
        }
        for label, (content, names) in cases.items():
            for save in ("each", "once"):
                with self.subTest(label, save=save):
                    path = self.book("Data", "Other", name=f"{save}.xlsx")
                    result = run("copy", path, "--sheet", "Data", "--names",
                                 self.names_file(content), "--save", save)
                    self.assertEqual((result.returncode, result.stderr), (0, ""))
                    self.assertEqual(result.stdout.splitlines(), names)
                    self.assertEqual(self.sheets(path), ["Data", "Other", *names])

    def test_every_bad_line_is_listed_and_no_copy_is_made(self):
        lines = [(b"Lyon", None), (b"A:B", "character ':'"), (b"a/b", "character '/'"),
                 (b"x" * 32, "32 characters long"), (b"'quoted", "apostrophe"),
                 (b"history", "reserved"), (b"paris", "already has a sheet named 'Paris'"),
                 (b"chart1", "already has a sheet named 'Chart1'"), (b"", None),
                 (b"LYON", "repeats line 1"), (b"bad \xff", "not UTF-8"),
                 (b"tab\there", "control character"), (b"esc\x1b[2J", "control character")]
        path = self.book("Data", "Paris", chartsheet="Chart1")
        before = read_bytes(path)
        names = self.names_file(b"\n".join(text for text, _ in lines))
        bad = [(n, reason) for n, (_, reason) in enumerate(lines, 1) if reason]
        for save in ("each", "once"):
            with self.subTest(save):
                result = run("copy", path, "--sheet", "Data", "--names", names, "--save", save)
                self.assertEqual((result.returncode, result.stdout), (1, ""))
                said = result.stderr.splitlines()
                self.assertEqual(len(said), len(bad) + 1, result.stderr)
                for (number, reason), line in zip(bad, said):
                    self.assertTrue(line.startswith(f"Line {number}: "), line)
                    self.assertIn(reason, line)
                self.assertIn("no copy was made", said[-1])
                self.assertNotIn("\x1b", result.stderr)  # shown as ^[, never sent to the terminal
        self.assertEqual(read_bytes(path), before)
        self.assertNoStrayFiles("book.xlsx", "names.txt")

    def test_lists_that_cannot_be_read_are_refused(self):
        path = self.book("Data")
        for names, reason in ((self.names_file("Lyon\n".encode("utf-16")), "UTF-16"),
                              (os.path.join(self.dir, "none.txt"), "does not exist"),
                              (self.dir, "folder")):
            with self.subTest(reason):
                result = run("copy", path, "--sheet", "Data", "--names", names)
                self.assertEqual((result.returncode, result.stdout), (1, ""))
                self.assertIn(reason, result.stderr)
                self.assertNotIn("internal error", result.stderr)


class Numbers(WorkbookCase):
    def test_padding_and_first_number(self):
        cases = [("Day[x:2]", 3, None, ["Day01", "Day02", "Day03"]),
                 ("[x:3]", 2, "9", ["009", "010"]),
                 ("Q[x:1]", 2, "10", ["Q10", "Q11"]),
                 ("Day[x]", 2, "0", ["Day0", "Day1"]),
                 ("[x:3]-[x]", 1, "5", ["005-5"])]
        for pattern, count, start, names in cases:
            with self.subTest(pattern=pattern, start=start):
                path = self.book("Data", name=f"n{len(os.listdir(self.dir))}.xlsx")
                result = run("copy", path, "--sheet", "Data", "--count", str(count),
                             "--pattern", pattern, *(["--start", start] if start else []))
                self.assertEqual((result.returncode, result.stderr), (0, ""))
                self.assertEqual(result.stdout.splitlines(), names)
                self.assertEqual(self.sheets(path), ["Data", *names])


class DryRun(WorkbookCase):
    def test_dry_run_says_what_the_run_does_and_changes_nothing(self):
        cases = {
            "automatic names": (["--count", "2"], ""),
            "conflicting pattern": (["--count", "3", "--pattern", "Day[x]"], ""),
            "names refused by the workbook": (["--count", "1", "--pattern", "day[x]"], ""),
            "list": (["--names", "-"], "Mon\nTue\n"),
            "bad list": (["--names", "-"], "Mon\nA:B\n"),
            "missing sheet": (["--count", "1", "--sheet", "Nope"], ""),
        }
        tense = lambda text: re.sub(r"(were|was|would be) made", "made", text)  # noqa: E731
        for label, (options, stdin) in cases.items():
            with self.subTest(label):
                dry = self.book("Data", "Day2", "Day1", name="dry.xlsx")
                real = self.book("Data", "Day2", "Day1", name="real.xlsx")
                before = read_bytes(dry)
                rehearsed = run("copy", dry, "--sheet", "Data", *options, "--dry-run", stdin=stdin)
                done = run("copy", real, "--sheet", "Data", *options, stdin=stdin)
                self.assertEqual(read_bytes(dry), before)
                self.assertNoStrayFiles("dry.xlsx", "real.xlsx")
                self.assertEqual((rehearsed.returncode, rehearsed.stdout),
                                 (done.returncode, done.stdout))
                for line in done.stderr.splitlines():
                    self.assertIn(tense(line), tense(rehearsed.stderr))


class Json(WorkbookCase):
    def test_copy_prints_one_object_whatever_the_outcome(self):
        cases = {
            "list": (["--names", "-", "--save", "once"], b"Mon\nTue\n", 0,
                     {"made": ["Mon", "Tue"], "saves": 1, "dry_run": False}),
            "dry run": (["--count", "2", "--dry-run"], None, 0,
                        {"made": ["Data (2)", "Data (3)"], "saves": 0, "dry_run": True}),
            "conflict": (["--count", "2", "--pattern", "Other[x:1]"], None, 1,
                         {"made": ["Other2"], "saves": 1}),
            "bad list": (["--names", "-"], b"Ok\nA:B\n\xff\nother1\n", 1, {"made": [], "saves": 0}),
            "usage error": (["--count", "x"], None, 2, {}),
        }
        for label, (options, stdin, status, expected) in cases.items():
            with self.subTest(label):
                path = self.book("Data", "Other1", name=f"j{len(os.listdir(self.dir))}.xlsx")
                result = subprocess.run([CLI, "copy", path, "--sheet", "Data", "--json",
                                         *options], capture_output=True, timeout=120, input=stdin)
                self.assertEqual(result.returncode, status)
                report = json.loads(result.stdout)
                self.assertEqual(report["exit_status"], status)
                self.assertEqual(report["messages"], result.stderr.decode().splitlines()[:1]
                                 if status == 2 else result.stderr.decode().splitlines())
                for key, value in expected.items():
                    self.assertEqual(report[key], value, key)
                if status != 2:
                    self.assertEqual((report["workbook"], report["sheet"]), (path, "Data"))
                    self.assertGreaterEqual(report["seconds"], 0)
        refused = json.loads(run("copy", path, "--sheet", "Data", "--json", "--names", "-",
                                 stdin="Ok\nA:B\nother1\n").stdout)["refused"]
        self.assertEqual([(r["line"], r["name"]) for r in refused], [(2, "A:B"), (3, "other1")])
        self.assertIn("':'", refused[0]["reason"])

    def test_sheets_tells_kind_and_visibility(self):
        path = os.path.join(self.dir, "hidden.xlsx")
        write_hidden_workbook(path)
        result = run("sheets", path, "--json")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(json.loads(result.stdout)["sheets"], [
            {"name": "Shown", "kind": "worksheet", "visibility": "visible"},
            {"name": "Hidden", "kind": "worksheet", "visibility": "hidden"},
            {"name": "Secret", "kind": "worksheet", "visibility": "very hidden"},
            {"name": "Chart", "kind": "chart sheet", "visibility": "visible"}])
        missing = run("sheets", os.path.join(self.dir, "none.xlsx"), "--json")
        self.assertEqual(missing.returncode, 1)
        self.assertEqual(json.loads(missing.stdout)["exit_status"], 1)


class Fidelity(WorkbookCase):
    """A sheet that carries one of everything, copied and judged by the
    independent checker, which must find no FAIL."""

    @unittest.skipUnless(os.path.exists(CHECKER), "the copy checker is not installed")
    def test_checker_finds_no_fault_in_the_copies(self):
        original = os.path.join(self.dir, "original.xlsx")
        write_rich_workbook(original, os.path.join(self.dir, "picture.png"))
        overridden = os.path.join(self.dir, "overridden.xlsx")
        shutil.copyfile(original, overridden)
        declare_every_part_by_override(overridden)
        # The last case is a workbook written by a suite that names every part by an Override.
        for save, source in (("each", original), ("once", original), ("each", overridden)):
            with self.subTest(save=save, source=os.path.basename(source)):
                result_path = os.path.join(self.dir, f"result-{save}-{os.path.basename(source)}")
                shutil.copyfile(source, result_path)
                made = run("copy", result_path, "--sheet", "Plan 1", "--count", "3",
                           "--pattern", "Plan [x]", "--save", save)
                # "Plan 1" is taken, so the first candidate is refused.
                self.assertEqual(made.returncode, 1, made.stderr)
                self.assertEqual(made.stdout.splitlines(), ["Plan 2", "Plan 3"])
                self.assertEqual(parts_without_content_type(result_path), [])
                checked, _, _ = run_checker(
                    ["/usr/bin/python3", CHECKER, source, result_path, "--source", "Plan 1",
                     "--copies", "Plan 2,Plan 3", "--timeout", "300"],
                    result_path + ".json", timeout=900)
                self.assertEqual(checked.returncode, 0, checked.stdout + checked.stderr)
                self.assertIn("sheetjs", checked.stdout.splitlines()[1])


if __name__ == "__main__":
    unittest.main()
