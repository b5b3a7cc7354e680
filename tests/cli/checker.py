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
    on the same file; a result that LibreOffice cannot read twice fails."""
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
        office_died = fails and all(n[0] == "libreoffice" for n in fails) and any(
            n[3].startswith("RESULT does not open: com.sun.star.") for n in fails)
        if checked.returncode == 0 or not office_died or reading == 2:
            return checked, notes, reading == 2
