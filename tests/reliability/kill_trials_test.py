#!/usr/bin/env python3
"""orvandel-cli --save each killed (SIGKILL) at random moments. The workbook must open and
hold the original sheets plus the first copies in order, and the next run must work on it:
it takes over the lock the killed run left and leaves no lock behind. ORV_KILL_TRIALS sets
the number of trials (100 by default), ORV_SEED the random moments."""

import glob
import os
import random
import shutil
import subprocess
import sys
import tempfile
import time
import unittest
import zipfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "cli"))
from fixtures import write_workbook  # noqa: E402

import openpyxl  # noqa: E402

CLI = os.environ.get("ORVANDEL_CLI", "orvandel-cli")
TRIALS = int(os.environ.get("ORV_KILL_TRIALS", "100"))
COUNT = 6
COPIES = [f"Data ({n})" for n in range(2, COUNT + 3)]  # the run's copies, then the next run's


def copy(path, count):
    return subprocess.Popen([CLI, "copy", path, "--sheet", "Data", "--count", str(count)],
                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)


def sheet_names(path):
    with zipfile.ZipFile(path) as z:
        bad = z.testzip()
        if bad is not None:
            raise AssertionError(f"the part {bad} is damaged")
    return openpyxl.load_workbook(path, read_only=True).sheetnames


class KillTrials(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="orvandel-kill-test-")
        self.addCleanup(shutil.rmtree, self.dir, True)
        self.path = os.path.join(self.dir, "book.xlsx")
        write_workbook(self.path, ("Data", "Other"))
        with open(self.path, "rb") as f:
            self.original = f.read()

    def restore(self):
        with open(self.path, "wb") as f:
            f.write(self.original)

    def test_killed_runs_leave_the_workbook_whole_with_a_prefix_of_the_copies(self):
        # The kill moments spread over a whole run's length, measured here once.
        spans = []
        for _ in range(3):
            began = time.monotonic()
            self.assertEqual(copy(self.path, COUNT).wait(timeout=120), 0)
            spans.append(time.monotonic() - began)
        span = sorted(spans)[1]
        rng = random.Random(os.environ.get("ORV_SEED", "kill"))
        made = [0] * (COUNT + 1)
        temporary = 0
        for trial in range(TRIALS):
            with self.subTest(trial=trial):
                self.restore()
                before = set(os.listdir(self.dir))
                proc = copy(self.path, COUNT)
                time.sleep(rng.uniform(0, span))
                proc.kill()
                proc.wait(timeout=120)
                names = sheet_names(self.path)
                k = len(names) - 2
                self.assertEqual(names, ["Data", "Other"] + COPIES[:k])
                made[k] += 1

                after = copy(self.path, 1)
                _, err = after.communicate(timeout=120)
                self.assertEqual(after.returncode, 0, err.decode())
                self.assertEqual(sheet_names(self.path), names + [COPIES[k]])
                left = set(os.listdir(self.dir)) - before
                self.assertNotIn(".~lock.book.xlsx#", left)
                temporary += bool(left)
        print(f"\n{TRIALS} kills: trials by copies found {made}; trials whose killed save left a "
              f"file the next run kept: {temporary}", file=sys.stderr)

    # A run that holds the lock removes what killed saves left beside the workbook.
    def test_next_run_removes_temporary_files_of_killed_saves(self):
        stale = os.path.join(self.dir, ".book.xlsx.orv-Ab12Cd")
        with open(stale, "wb") as f:
            f.write(self.original[: len(self.original) // 2])
        os.utime(stale, (time.time() - 3600,) * 2)
        self.assertEqual(copy(self.path, 1).wait(timeout=120), 0)
        self.assertEqual(glob.glob(os.path.join(self.dir, ".book.xlsx.orv-*")), [])


if __name__ == "__main__":
    unittest.main()
