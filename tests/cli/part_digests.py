#!/usr/bin/python3
"""What orvandel-cli writes, part by part: every Open XML workbook of the shared corpus gets
three copies of its first sheet, named by a pattern, saved after each copy and once at the end;
each part of each result is decompressed and hashed. "record" writes the digests to a file,
"check" compares a build's results with a recorded file, so that a change to how the engine
reads, caches, orders and compresses parts is shown to leave every part's content as it was.

  part_digests.py record|check --cli PATH --corpus DIR --digests FILE
"""

import argparse
import hashlib
import io
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import zipfile

import olefile

SKIP = 77  # ctest's SKIP_RETURN_CODE
OPEN_XML = (".xlsx", ".xlsm", ".xltx", ".xltm")
# Fresh GUIDs differ from run to run; only their places are compared.
GUID = re.compile(rb"\{[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}\}")
COMPOUND = b"\xd0\xcf\x11\xe0\xa1\xb1\x1a\xe1"


def content(data):
    """What a part holds. A compound file (a VBA project) is its storages' class ids and its
    streams, by name: where its sectors and directory entries lie is the writer's choice (Linux
    and Windows write them differently)."""
    if not data.startswith(COMPOUND):
        return GUID.sub(b"{GUID}", data)
    with olefile.OleFileIO(io.BytesIO(data)) as ole:
        held = [b"/" + ole.root.clsid.encode()]
        for entry in sorted(ole.listdir(streams=True, storages=True)):
            path = "/".join(entry)
            if ole.get_type(entry) == olefile.STGTY_STORAGE:
                held.append(f"{path}/{ole.getclsid(entry)}".encode())
            else:
                held.append(path.encode() + b"=" + hashlib.sha256(ole.openstream(entry).read()).digest())
        return b"\n".join(held)


def digests(cli, workbook, mode, folder):
    """{part: sha256 of its content} of the workbook after the copies, or {"refused": message}."""
    scratch = os.path.join(folder, mode + "-" + os.path.basename(workbook))
    shutil.copyfile(workbook, scratch)
    listed = subprocess.run([cli, "sheets", scratch], capture_output=True, text=True, timeout=120)
    if listed.returncode != 0 or not listed.stdout.strip():
        return {"refused": listed.stderr.strip()}
    sheet = listed.stdout.splitlines()[0]
    run = subprocess.run([cli, "copy", scratch, "--sheet", sheet, "--count", "3", "--pattern",
                          "Copy [x]", "--save", mode], capture_output=True, text=True, timeout=300)
    if run.returncode != 0:
        return {"refused": run.stderr.strip()}
    result = {}
    with zipfile.ZipFile(scratch) as z:
        for name in z.namelist():
            result[name] = hashlib.sha256(content(z.read(name))).hexdigest()[:16]
    return result


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("action", choices=["record", "check"])
    parser.add_argument("--cli", required=True)
    parser.add_argument("--corpus", required=True)
    parser.add_argument("--digests", required=True)
    args = parser.parse_args()
    if not os.path.isdir(args.corpus):
        print("no corpus at " + args.corpus)
        return SKIP
    books = sorted(f for f in os.listdir(args.corpus) if f.endswith(OPEN_XML))
    found = {}
    with tempfile.TemporaryDirectory(prefix="orvandel-digests-") as folder:
        for book in books:
            for mode in ("each", "once"):
                found[f"{book} --save {mode}"] = digests(
                    args.cli, os.path.join(args.corpus, book), mode, folder)
    if args.action == "record":
        with open(args.digests, "w") as f:
            json.dump(found, f, indent=1, sort_keys=True)
        return 0
    with open(args.digests) as f:
        recorded = json.load(f)
    failures = []
    for run, parts in sorted(recorded.items()):
        if run not in found:
            continue  # a workbook no longer in the corpus
        now = found[run]
        for part in sorted(set(parts) | set(now)):
            if parts.get(part) != now.get(part):
                failures.append(f"{run}: {part}: " + ("missing" if part not in now else
                                                      "added" if part not in parts else "differs"))
    for line in failures:
        print(line)
    print(f"{len(found)} runs compared, {len(failures)} differences")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
