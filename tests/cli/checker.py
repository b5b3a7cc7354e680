"""The independent copy checker (check_copy.py), run as the command-line tests run it."""

import json
import os
import subprocess


def run_checker(argv, report, timeout=1200):
    """Runs the checker's command line `argv` (interpreter and script first) with its JSON
    report written to `report`. Returns the finished process, the report's notes and whether the
    result was read a second time.

    LibreOffice, one of the checker's readers, has been seen to die once while reading a result
    that it read whole in dozens of runs before and after (CI, poi_12843-1.xls): its bridge
    reports an error in place of the sheet. A reading that fails only that way is made once more
    on the same file; a result that LibreOffice cannot read twice fails. So is one where it died
    reading the original, which the checker passes over without LibreOffice's verdict on the
    result."""
    env = {"SHEETJS_DIR": os.path.expanduser("~/.cache/check_copy"), **os.environ}
    for reading in (1, 2):
        if os.path.exists(report):
            os.remove(report)
        checked = subprocess.run(argv + ["--json", report], capture_output=True, text=True,
                                 timeout=timeout, env=env)
        notes = []
        if os.path.exists(report):
            with open(report) as f:
                notes = json.load(f).get("notes", [])
        fails = [n for n in notes if n[2] == "FAIL"]
        died_on_result = fails and all(n[0] == "libreoffice" for n in fails) and any(
            n[3].startswith("RESULT does not open: com.sun.star.") for n in fails)
        died_on_original = any(n[0] == "libreoffice" and n[2] == "SKIP" and
                               n[3].startswith("cannot read ORIGINAL: com.sun.star.") for n in notes)
        if reading == 2 or not (died_on_original or (checked.returncode != 0 and died_on_result)):
            return checked, notes, reading == 2
