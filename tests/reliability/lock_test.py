#!/usr/bin/env python3
"""orvandel-cli on a workbook that others use too: office lock files beside it, two runs at
once, another program saving it during a run; and copy names made of characters outside the
Basic Multilingual Plane. What is judged is what the file holds against what the run
reported on its standard output."""

import os
import pwd
import random
import re
import select
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "cli"))
from fixtures import write_workbook  # noqa: E402

import openpyxl  # noqa: E402

CLI = os.environ.get("ORVANDEL_CLI", "orvandel-cli")
TRIALS = int(os.environ.get("ORV_CONCURRENCY_TRIALS", "20"))
ME = pwd.getpwuid(os.geteuid()).pw_name
HOST = socket.gethostname()
REFUSED_BY_RUN = "is being copied by another run of Orvandel"


def parse_office_lock(data):
    """Entries of an office lock file, read by the rules office suites read them with: five
    fields an entry, a backslash only before \\ , or ;, fields ended by "," and the entry by
    ";", nothing else. Raises ValueError otherwise."""
    entries, at = [], 0
    while at < len(data):
        fields = []
        for index in range(5):
            field = bytearray()
            while True:
                if at >= len(data):
                    raise ValueError("entry cut short")
                c = data[at:at + 1]
                if c == b"\\":
                    if data[at + 1:at + 2] not in (b"\\", b",", b";"):
                        raise ValueError("bad escape")
                    field += data[at + 1:at + 2]
                    at += 2
                elif c in (b",", b";"):
                    if c != (b";" if index == 4 else b","):
                        raise ValueError("wrong separator")
                    at += 1
                    break
                else:
                    field += c
                    at += 1
            fields.append(field.decode("utf-8"))
        entries.append(fields)
    return entries


def sheet_names(path):
    return openpyxl.load_workbook(path, read_only=True).sheetnames


def read_bytes(path):
    with open(path, "rb") as f:
        return f.read()


def start(path, count, *extra, env=None):
    return subprocess.Popen([CLI, "copy", path, "--sheet", "Data", "--count", str(count), *extra],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)


def finish(proc):
    out, err = proc.communicate(timeout=120)
    return proc.returncode, out.decode().splitlines(), err.decode()


class Case(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="orvandel-lock-test-")
        self.addCleanup(shutil.rmtree, self.dir, True)
        self.path = os.path.join(self.dir, "book.xlsx")
        write_workbook(self.path, ("Data", "Other"))
        self.lock = os.path.join(self.dir, ".~lock.book.xlsx#")

    def wait_for_lock(self, proc):
        """The lock file's text as soon as the run has written it."""
        while proc.poll() is None:
            try:
                data = read_bytes(self.lock)
            except FileNotFoundError:
                continue
            if data:
                return data
        self.fail("the run ended without its lock file being seen")


class LockFile(Case):
    def test_lock_held_during_a_run_reads_as_an_office_lock_and_goes_at_the_end(self):
        proc = start(self.path, 300)
        data = self.wait_for_lock(proc)
        status, out, err = finish(proc)
        self.assertEqual(status, 0, err)
        self.assertEqual(len(out), 300)
        [entry] = parse_office_lock(data)
        self.assertEqual(entry[:3], ["", ME, HOST])
        self.assertRegex(entry[3], r"\A\d\d\.\d\d\.\d{4} \d\d:\d\d\Z")
        self.assertTrue(entry[4].startswith("file:///"), entry[4])
        self.assertFalse(os.path.exists(self.lock))

    def test_other_holders_locks_are_respected_and_nothing_is_touched(self):
        ours = "file://" + os.path.join(self.dir, "config") + "/Orvandel"
        env = dict(os.environ, XDG_CONFIG_HOME=os.path.join(self.dir, "config"))
        cases = [
            (b"Ann Smith,ann,otherhost,01.02.2026 10:11,file:///home/ann/.config/lo/4;",
             "(locked by Ann Smith on otherhost since 01.02.2026 10:11). Close it there"),
            (b",ann,otherhost,01.02.2026 10:11,;", "locked by ann on otherhost"),
            (b"Smith\\, Ann,ann,otherhost,01.02.2026 10:11,;", "locked by Smith, Ann on"),
            # The office suite of this very user on this computer: maybe left behind by a
            # crash, but only the user can tell.
            (f",{ME},{HOST},01.02.2026 10:11,file:///home/x/.config/lo/4;".encode(),
             "remove the lock file '.~lock.book.xlsx#' beside it"),
            # One of our own runs on another computer.
            (f",{ME},otherhost,01.02.2026 10:11,{ours};".encode(), "locked by " + ME),
            (b"not a lock", "remove that file"),
            (b"", "remove that file"),
        ]
        before = read_bytes(self.path)
        for entry, message in cases:
            with open(self.lock, "wb") as f:
                f.write(entry)
            for save in ("each", "once"):
                with self.subTest(entry=entry, save=save):
                    status, out, err = finish(start(self.path, 2, "--save", save, env=env))
                    self.assertEqual((status, out), (1, []), err)
                    self.assertIn("'book.xlsx' is open in another program", err)
                    self.assertIn(message, err)
                    self.assertEqual(read_bytes(self.path), before)
                    self.assertEqual(read_bytes(self.lock), entry)
                    self.assertEqual(sorted(os.listdir(self.dir)), [".~lock.book.xlsx#", "book.xlsx"])

        # A lock that one of our runs on this computer left and nobody holds is taken over.
        with open(self.lock, "wb") as f:
            f.write(f",{ME},{HOST},01.02.2026 10:11,{ours};".encode())
        status, out, err = finish(start(self.path, 1, env=env))
        self.assertEqual((status, out), (0, ["Data (2)"]), err)
        self.assertFalse(os.path.exists(self.lock))


class Concurrency(Case):
    def test_second_run_refuses_while_the_first_holds_the_workbook(self):
        first = start(self.path, 200)
        self.wait_for_lock(first)
        status, out, err = finish(start(self.path, 5))
        self.assertEqual((status, out), (1, []))
        self.assertIn("'book.xlsx' " + REFUSED_BY_RUN, err)
        status, out, err = finish(first)
        self.assertEqual((status, len(out)), (0, 200), err)
        self.assertEqual(sheet_names(self.path), ["Data", "Other"] + out)

    def test_runs_started_together_never_report_a_copy_the_file_lacks(self):
        original = read_bytes(self.path)
        for trial in range(TRIALS):
            with self.subTest(trial=trial):
                with open(self.path, "wb") as f:
                    f.write(original)
                runs = [start(self.path, 10, "--save", save) for save in ("each", "once")]
                reported = []
                for status, out, err in map(finish, runs):
                    self.assertIn(status, (0, 1), err)
                    if status == 1:
                        self.assertEqual(out, [])
                        self.assertIn(REFUSED_BY_RUN, err)
                    reported += out
                names = sheet_names(self.path)
                self.assertEqual(names[:2], ["Data", "Other"])
                self.assertEqual(sorted(names[2:]), sorted(reported))
                self.assertFalse(os.path.exists(self.lock))

    def test_another_program_saving_during_a_run_never_leaves_a_reported_copy_out(self):
        # The other program saves its own, older version of the workbook at random moments,
        # by renaming a new file into place or by writing over the file. Each of its saves
        # happens while the run is stopped, and only before the run has reported anything,
        # so that what the run reported must match what the file holds afterwards.
        original = read_bytes(self.path)
        rng = random.Random(os.environ.get("ORV_SEED", "writer"))
        saves = stopped = 0
        for trial in range(TRIALS):
            with self.subTest(trial=trial):
                with open(self.path, "wb") as f:
                    f.write(original)
                proc = start(self.path, 40)
                saves += self.save_over_during(proc, original, rng)
                status, out, err = finish(proc)
                self.assertEqual(sheet_names(self.path), ["Data", "Other"] + out, err)
                self.assertEqual(status == 0, len(out) == 40, err)
                stopped += "changed by another program" in err
        print(f"\n{TRIALS} trials, {saves} saves by the other program, {stopped} runs stopped",
              file=sys.stderr)

    def save_over_during(self, proc, original, rng):
        saves = 0
        while True:
            time.sleep(rng.uniform(0, 0.02))
            os.kill(proc.pid, signal.SIGSTOP)  # a zombie takes it too: it is not reaped yet
            try:
                if not self.stopped(proc.pid):
                    return saves
                if select.select([proc.stdout], [], [], 0)[0]:
                    return saves  # it has reported, or ended
                if rng.random() < 0.5:
                    other = self.path + ".other"
                    with open(other, "wb") as f:
                        f.write(original)
                    os.replace(other, self.path)
                else:
                    with open(self.path, "r+b") as f:
                        f.write(original)
                        f.truncate()
                saves += 1
            finally:
                os.kill(proc.pid, signal.SIGCONT)

    @staticmethod
    def stopped(pid):
        """Waits until the process is stopped (True) or has ended (False)."""
        for _ in range(100000):
            with open(f"/proc/{pid}/stat") as f:
                state = f.read().rsplit(")", 1)[1].split()[0]
            if state in "TZX":
                return state == "T"
        raise AssertionError("the run did not stop")


class Names(Case):
    def test_patterns_of_astral_characters_give_names_that_fit(self):
        face = "\U0001F600"
        for pattern in (face * 16, face * 17, face * 40 + "[x]", "a" + face * 16, face * 15 + "[x]",
                        "[" + face * 14 + "]ab[x]"):
            with self.subTest(pattern=pattern):
                write_workbook(self.path, ("Data",))
                status, out, err = finish(start(self.path, 1, "--pattern", pattern))
                cleaned = pattern.replace("[x]", "1").replace("[", "").replace("]", "")
                expected, units = "", 0
                for ch in cleaned:
                    units += 2 if ord(ch) > 0xFFFF else 1
                    if units > 30:
                        break
                    expected += ch
                self.assertEqual((status, out), (0, [expected]), err)
                self.assertEqual(sheet_names(self.path), ["Data", expected])


if __name__ == "__main__":
    unittest.main()
