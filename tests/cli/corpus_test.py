#!/usr/bin/python3
"""Every real-world workbook of the shared corpus, through orvandel-cli: a sheet
is copied three times into a scratch copy of the file, and the result is judged
by the independent checker (check_copy.py), which must report no FAIL. A file
the engine refuses is accepted when the refusal is clear and the file is left
exactly as it was.

  corpus_test.py --cli PATH --corpus DIR --checker PATH [--jobs 2] [--logs DIR]
"""

import argparse
import concurrent.futures
import csv
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

from checker import run_checker

SKIP = 77  # ctest's SKIP_RETURN_CODE
WORKBOOK = (".xlsx", ".xlsm", ".xltx", ".xltm", ".xls", ".ods")
COPIES = 3
# Files the engine copies today: a refusal of one of them is a regression, not a clear refusal.
MUST_COPY = {"calamine_issue127.xls", "poi_12843-1.xls", "poi_44958.xls",
             "poi_SimpleWithImages.xls", "poi_WithThreeCharts.xls", "poi_15228.xls", "poi_45761.xls",
             "calamine_any_sheets.ods", "calamine_picture.ods", "calamine_with-annotation.ods"}


def source_candidates(corpus):
    """The MANIFEST's "source candidates: 'Visible'; ..." notes, by file."""
    manifest = os.path.join(corpus, "MANIFEST.tsv")
    result = {}
    if os.path.exists(manifest):
        with open(manifest, newline="") as f:
            for row in csv.DictReader(f, delimiter="\t"):
                note = row.get("notes") or ""
                hit = re.search(r"source candidates:\s*'((?:[^']|'')+)'", note)
                if hit:
                    result[row["file"]] = hit.group(1).replace("''", "'")
    return result


def refusal_problem(result, original, scratch):
    """Why a refusal is not acceptable, or None."""
    message = result.stderr.strip()
    if not message:
        return "refused without a message"
    if "internal error" in message:
        return "internal error: " + message
    if result.stdout.strip():
        return "some copies were made before the refusal: " + " / ".join(result.stdout.split("\n"))
    with open(original, "rb") as a, open(scratch, "rb") as b:
        if a.read() != b.read():
            return "the refused file was changed"
    if len(os.listdir(os.path.dirname(scratch))) != 1:
        return "files were left beside the workbook: " + ", ".join(
            os.listdir(os.path.dirname(scratch)))
    return None


def ssconvert_warnings(path, folder):
    """The distinct warnings gnumeric's ssconvert gives reading the .xls at `path` (without
    process ids and times), or None when ssconvert is not installed."""
    if not shutil.which("ssconvert"):
        return None
    out = tempfile.mkdtemp(prefix="ssconvert-", dir=folder)
    result = subprocess.run(["ssconvert", "-S", path, os.path.join(out, "sheet_%s.csv")],
                            capture_output=True, text=True, timeout=300)
    shutil.rmtree(out, ignore_errors=True)
    text = re.sub(r"\(ssconvert:\d+\): ", "", result.stdout + result.stderr)
    text = re.sub(r"\d\d:\d\d:\d\d\.\d+: ", "", text)
    lines = {line.strip() for line in text.splitlines() if line.strip()}
    if result.returncode != 0:
        lines.add(f"ssconvert exited {result.returncode}")
    return lines


def judge(name, args, candidates):
    original = os.path.join(args.corpus, name)
    row = {"file": name, "source": "", "outcome": "", "detail": "", "seconds": 0.0}
    start = time.monotonic()
    folder = tempfile.mkdtemp(prefix="orvandel-corpus-")
    try:
        scratch = os.path.join(folder, "book" + os.path.splitext(name)[1])
        shutil.copyfile(original, scratch)
        listed = subprocess.run([args.cli, "sheets", scratch], capture_output=True, text=True,
                                timeout=300)
        if listed.returncode == 1:
            problem = refusal_problem(listed, original, scratch)
            row["outcome"] = "FAIL" if problem else "refused"
            row["detail"] = problem or listed.stderr.strip().splitlines()[0]
            return row
        if listed.returncode != 0:
            row["outcome"], row["detail"] = "FAIL", f"sheets exited {listed.returncode}: " + \
                listed.stderr.strip()[-300:]
            return row
        names = listed.stdout.splitlines()
        source = candidates.get(name)
        if source not in names:
            source = names[0] if names else None
        if source is None:
            row["outcome"], row["detail"] = "FAIL", "the workbook lists no worksheet"
            return row
        row["source"] = source

        copied = subprocess.run([args.cli, "copy", scratch, "--sheet", source, "--count",
                                 str(COPIES)], capture_output=True, text=True, timeout=600)
        if copied.returncode == 1:
            problem = refusal_problem(copied, original, scratch)
            if name in MUST_COPY:
                problem = "refused a file the engine copies: " + copied.stderr.strip()[-300:]
            row["outcome"] = "FAIL" if problem else "refused"
            row["detail"] = problem or copied.stderr.strip().splitlines()[0]
            return row
        made = copied.stdout.splitlines()
        if copied.returncode != 0 or len(made) != COPIES:
            row["outcome"] = "FAIL"
            row["detail"] = f"copy exited {copied.returncode} after {len(made)} copies: " + \
                copied.stderr.strip()[-300:]
            return row

        report = os.path.join(folder, "check.json")
        checker = [args.python, args.checker, original, scratch, "--source", source,
                   "--pdf-pages", "auto", "--timeout", "300"]
        for copy in made:
            checker += ["--copy", copy]
        checked, notes, read_again = run_checker(checker, report)
        if args.logs:
            with open(os.path.join(args.logs, name + ".txt"), "w") as log:
                log.write(checked.stdout + checked.stderr)
        fails = [n for n in notes if n[2] == "FAIL"]
        warns = [n for n in notes if n[2] == "WARN"]
        # gnumeric, a third reader of .xls: the result may repeat the original's warnings (once
        # per copy of the sheet that gives them), never add one of its own.
        if name.lower().endswith(".xls") and checked.returncode == 0:
            before = ssconvert_warnings(original, folder)
            after = ssconvert_warnings(scratch, folder)
            if before is not None and after - before:
                row["outcome"] = "FAIL"
                row["detail"] = "ssconvert: " + sorted(after - before)[0][:200]
                return row
        if checked.returncode == 0:
            row["outcome"] = "copied"
            row["detail"] = f"{len(warns)} WARN" + (": " + warns[0][3][:100] if warns else "")
            if read_again:
                row["detail"] += " (LibreOffice died during the first reading; read again)"
        else:
            row["outcome"] = "FAIL"
            verdict = (checked.stdout.strip().splitlines() or ["checker gave no verdict"])[-1]
            first = fails[0][3][:160] if fails else checked.stderr.strip()[-300:]
            row["detail"] = f"{verdict}: {first}"
        return row
    except subprocess.TimeoutExpired as e:
        row["outcome"], row["detail"] = "FAIL", f"timed out: {' '.join(e.cmd[:2])}"
        return row
    finally:
        row["seconds"] = time.monotonic() - start
        shutil.rmtree(folder, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--cli", required=True)
    parser.add_argument("--corpus", required=True)
    parser.add_argument("--checker", required=True)
    parser.add_argument("--python", default="/usr/bin/python3")
    parser.add_argument("--jobs", type=int, default=2)
    parser.add_argument("--logs", help="folder for the checker's full report of each file")
    parser.add_argument("--only", help="regular expression: judge only matching files")
    args = parser.parse_args()

    if not os.path.isdir(args.corpus):
        print(f"Skipped: there is no corpus at {args.corpus}.")
        return SKIP
    if not os.path.exists(args.checker):
        print(f"Skipped: there is no copy checker at {args.checker}.")
        return SKIP
    os.environ.setdefault("SHEETJS_DIR", os.path.expanduser("~/.cache/check_copy"))
    if args.logs:
        os.makedirs(args.logs, exist_ok=True)

    files = sorted(n for n in os.listdir(args.corpus) if n.lower().endswith(WORKBOOK)
                   and (not args.only or re.search(args.only, n)))
    candidates = source_candidates(args.corpus)
    with concurrent.futures.ThreadPoolExecutor(max_workers=args.jobs) as pool:
        rows = list(pool.map(lambda n: judge(n, args, candidates), files))

    width = max(len(r["file"]) for r in rows) if rows else 4
    print(f"{'file':{width}}  {'outcome':8} {'seconds':>7}  source / detail")
    for r in rows:
        source = f"[{r['source']}] " if r["source"] else ""
        print(f"{r['file']:{width}}  {r['outcome']:8} {r['seconds']:7.1f}  {source}{r['detail']}")
    counts = {k: sum(1 for r in rows if r["outcome"] == k) for k in ("copied", "refused", "FAIL")}
    print(f"\n{len(rows)} files: {counts['copied']} copied and passed the checker, "
          f"{counts['refused']} refused clearly, {counts['FAIL']} FAIL")
    return 1 if counts["FAIL"] else 0


if __name__ == "__main__":
    sys.exit(main())
