#!/usr/bin/python3
"""The whole-run benchmark: copies one sheet N times with orvandel-cli and with
peer tools, side by side, on generated workbooks, and prints a table of time,
peak memory, ratios and what each tool lost. See docs/benchmark.md."""

import argparse
import glob
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import xml.etree.ElementTree as ET
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
PYTHON = "/usr/bin/python3"  # Debian's, where python3-openpyxl and python3-uno live
SOFFICE = "/usr/lib/libreoffice/program/soffice.bin"
TIME = "/usr/bin/time"  # GNU time (Debian package "time")
sys.path.insert(0, HERE)
import make_workbooks  # noqa: E402

TOOLS = ["ours-each", "ours-once", "openpyxl", "libreoffice", "floor"]
LABELS = {
    "ours-each": "orvandel-cli --save each",
    "ours-once": "orvandel-cli --save once",
    "openpyxl": "openpyxl copy_worksheet",
    "libreoffice": "LibreOffice copyByName",
    "floor": "I/O floor (cp + fsync)",
}
SAVES_ONCE = ["openpyxl", "libreoffice"]  # the peers, both of which save once at the end
# The loop-mounted file systems' size: the largest run keeps a few hundred megabytes at a time.
IMAGE_BYTES = 4 << 30

NS = {
    "main": "http://schemas.openxmlformats.org/spreadsheetml/2006/main",
    "rel": "http://schemas.openxmlformats.org/package/2006/relationships",
    "r": "http://schemas.openxmlformats.org/officeDocument/2006/relationships",
}


# ---------------------------------------------------------------- measuring

def timed(argv, peak_file):
    """argv run under GNU time, which records the peak resident memory of that
    process alone. Measuring it from here would not work: a child's peak
    counts this process's memory at the fork."""
    return [TIME, "-f", "%M", "-o", peak_file, *argv]


def read_peak(peak_file):
    try:
        with open(peak_file) as f:
            return int(f.read().split()[-1])
    except (OSError, ValueError, IndexError):
        return 0


def run_measured(argv, timeout):
    """Runs argv; returns (exit status or None when stopped at the time cap,
    seconds, peak resident memory in KiB, the end of its error output)."""
    with tempfile.TemporaryFile() as errors, tempfile.NamedTemporaryFile() as peak:
        start = time.monotonic()
        process = subprocess.Popen(timed(argv, peak.name), stdout=subprocess.DEVNULL,
                                   stderr=errors, start_new_session=True)
        # A wait with a timeout polls, sleeping up to 50 ms between looks, which would add up to
        # that much to every run and round short runs up to the next look. The cap is kept by a
        # timer instead, and the wait blocks until the process ends.
        capped = threading.Event()

        def stop():
            if process.poll() is not None:
                return
            capped.set()
            try:
                os.killpg(process.pid, 9)
            except ProcessLookupError:
                pass

        timer = threading.Timer(timeout, stop)
        timer.start()
        try:
            process.wait()
        finally:
            timer.cancel()
        seconds = time.monotonic() - start
        status = None if capped.is_set() else process.returncode
        errors.seek(0)
        tail = errors.read()[-2000:].decode("utf-8", "replace").strip()
        return status, seconds, read_peak(peak.name), tail


def start_office(profile, pipe, peak_file):
    """Starts the office and waits until it answers on the pipe. A fresh profile
    makes the first process exit with status 81 (restart wanted) once it has
    written the profile; the launcher script would restart it, so do we.
    Returns the process (GNU time around the office), or None."""
    argv = timed([SOFFICE, "--headless", "--invisible", "--nologo", "--norestore", "--nodefault",
                  "--nofirststartwizard", "-env:UserInstallation=file://" + profile,
                  f"--accept=pipe,name={pipe};urp;StarOffice.ComponentContext"], peak_file)
    for _ in range(3):
        office = subprocess.Popen(argv, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                  start_new_session=True)
        waiter = subprocess.Popen([PYTHON, os.path.join(HERE, "peer_libreoffice.py"), pipe,
                                   "--wait", "120"], stdout=subprocess.DEVNULL,
                                  stderr=subprocess.DEVNULL)
        while True:
            if office.poll() is not None:  # exited before answering
                waiter.kill()
                waiter.wait()
                break
            if waiter.poll() is not None:
                if waiter.returncode == 0:
                    return office
                stop_office(office)
                return None
            time.sleep(0.05)
    return None


def stop_office(office):
    """Asks the office to end (it gets SIGTERM; GNU time waits for it)."""
    try:
        with open(f"/proc/{office.pid}/task/{office.pid}/children") as f:
            children = [int(p) for p in f.read().split()]
    except OSError:
        children = []
    for pid in children:
        os.kill(pid, 15)
    try:
        office.wait(30)
    except subprocess.TimeoutExpired:
        os.killpg(office.pid, 9)
        office.wait()


def run_libreoffice(book, sheet, count, timeout):
    """One office process per run, with a fresh profile, reached over a local
    pipe. Start-up is not timed; load, copies, store and close are."""
    profile = tempfile.mkdtemp(prefix="orvandel-bench-lo-")
    pipe = f"orvandel_bench_{os.getpid()}_{time.monotonic_ns()}"
    peak_file = os.path.join(profile, "peak")
    try:
        office = start_office(os.path.join(profile, "user"), pipe, peak_file)
        if office is None:
            return 1, 0.0, 0, "LibreOffice did not start"
        client = [PYTHON, os.path.join(HERE, "peer_libreoffice.py"), pipe]
        try:
            status, seconds, _, tail = run_measured(client + [book, sheet, str(count)], timeout)
        finally:
            stop_office(office)
        return status, seconds, read_peak(peak_file), tail
    finally:
        shutil.rmtree(profile, ignore_errors=True)
        # The office leaves its pipe's socket behind when it is ended by a signal.
        for leftover in glob.glob(f"/tmp/OSL_PIPE_*_{pipe}"):
            os.remove(leftover)


def run_floor(book, sizes, cap):
    """Plain file copies of the given sizes, each made as our save makes its
    file: written to a temporary file in the same folder, flushed, renamed over
    the target, the folder flushed. Returns the seconds, or None when it
    passed the cap."""
    folder = os.path.dirname(os.path.abspath(book))
    with open(book, "rb") as f:
        data = f.read()
    if len(data) < max(sizes):
        data += b"\0" * (max(sizes) - len(data))
    view = memoryview(data)
    del data
    temp = os.path.join(folder, ".floor.tmp")
    start = time.monotonic()
    for size in sizes:
        if time.monotonic() - start > cap:
            return None
        fd = os.open(temp, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
        done = 0
        while done < size:
            done += os.write(fd, view[done:min(size, done + (1 << 20))])
        os.fsync(fd)
        os.close(fd)
        os.rename(temp, book)
        dir_fd = os.open(folder, os.O_RDONLY)
        os.fsync(dir_fd)
        os.close(dir_fd)
    return time.monotonic() - start


# ---------------------------------------------------------------- the device

def device_counter(folder):
    """The statistics file of the block device that holds folder, whose seventh
    field counts the 512-byte sectors written to it; None when there is none
    (a folder on tmpfs or overlay)."""
    st = os.stat(folder)
    path = f"/sys/dev/block/{os.major(st.st_dev)}:{os.minor(st.st_dev)}/stat"
    return path if os.path.exists(path) else None


def bytes_written(counter):
    """The device's written bytes so far, after sync has sent everything
    pending to it; None without a counter."""
    os.sync()
    if counter is None:
        return None
    with open(counter) as f:
        return int(f.read().split()[6]) * 512


def mount_loop(fs, out):
    """A fresh file system of type fs ("ext4", or "xfs" with reflink) on a loop
    device over an image in out, mounted below out. Returns (folder,
    None) or (None, why not)."""
    if os.geteuid() != 0:
        return None, "not run as root"
    mkfs = {"xfs": ["mkfs.xfs", "-q", "-f", "-m", "reflink=1"], "ext4": ["mkfs.ext4", "-q", "-F"]}[fs]
    if not shutil.which(mkfs[0]):
        return None, f"{mkfs[0]} is not installed"
    image = os.path.join(out, f"{fs}.img")
    folder = os.path.join(out, f"mnt-{fs}")
    unmount_loop(folder)
    # Written out whole, not sparse: on a sparse image the first tool to write a block also pays
    # for the backing file's allocation of it, which then favours every tool after it.
    zeros = bytes(64 << 20)
    with open(image, "wb") as f:
        for _ in range(IMAGE_BYTES // len(zeros)):
            f.write(zeros)
        os.fsync(f.fileno())
    os.makedirs(folder, exist_ok=True)
    made = subprocess.run(mkfs + [image], capture_output=True)
    mounted = made.returncode == 0 and subprocess.run(
        ["mount", "-o", "loop", image, folder], capture_output=True).returncode == 0
    if not mounted:
        os.remove(image)
        return None, "loop devices do not work here"
    return folder, None


def unmount_loop(folder):
    if os.path.ismount(folder):
        subprocess.run(["umount", folder], check=True)
    image = os.path.join(os.path.dirname(folder), os.path.basename(folder)[4:] + ".img")
    if os.path.exists(image):
        os.remove(image)


# ---------------------------------------------------------------- judging

ODS = {"table": "urn:oasis:names:tc:opendocument:xmlns:table:1.0",
       "draw": "urn:oasis:names:tc:opendocument:xmlns:drawing:1.0",
       "xlink": "http://www.w3.org/1999/xlink"}


def ods_objects(table):
    """Charts (embedded objects) and pictures (images outside objects' replacements) on a table."""
    charts = len(table.findall(".//draw:object", ODS))
    pictures = sum(1 for image in table.iter(f"{{{ODS['draw']}}}image")
                   if "ObjectReplacements/" not in image.get(f"{{{ODS['xlink']}}}href", ""))
    return charts, pictures


def ods_tables(path):
    with zipfile.ZipFile(path) as z:
        root = ET.fromstring(z.read("content.xml"))
    return root.findall(".//table:table", ODS)


def census(path):
    """Counts what a reader sees in a workbook: sheets, chart parts, pictures
    placed on drawings, media files. Of an .xls workbook only its sheets."""
    if path.endswith(".ods"):
        tables = ods_tables(path)
        found = [ods_objects(t) for t in tables]
        return {"sheets": len(tables), "charts": sum(c for c, _ in found),
                "pictures": sum(p for _, p in found)}
    if path.endswith(".xls"):
        import xlrd
        return {"sheets": xlrd.open_workbook(path, on_demand=True).nsheets, "charts": 0,
                "pictures": 0}
    with zipfile.ZipFile(path) as z:
        names = z.namelist()
        workbook = z.read("xl/workbook.xml").decode("utf-8", "replace")
        pictures = 0
        for name in names:
            if re.fullmatch(r"xl/drawings/drawing\d+\.xml", name):
                pictures += len(re.findall(r"<(?:\w+:)?pic>", z.read(name).decode("utf-8", "replace")))
        return {
            "sheets": len(re.findall(r"<(?:\w+:)?sheet\b", workbook)),
            "charts": sum(1 for n in names if re.fullmatch(r"xl/charts/chart\d+\.xml", n)),
            "pictures": pictures,
        }


def part_rels(z, part):
    folder, name = os.path.split(part)
    rels = f"{folder}/_rels/{name}.rels"
    if rels not in z.namelist():
        return []
    result = []
    for rel in ET.fromstring(z.read(rels)).findall("rel:Relationship", NS):
        target = rel.get("Target")
        if rel.get("TargetMode") == "External":
            continue
        target = target.lstrip("/") if target.startswith("/") else os.path.normpath(
            os.path.join(folder, target))
        result.append((rel.get("Id"), rel.get("Type").rsplit("/", 1)[-1], target))
    return result


def source_objects(path, sheet):
    """Charts and pictures on the source sheet: what every copy should carry."""
    if path.endswith(".ods"):
        table = next(t for t in ods_tables(path) if t.get(f"{{{ODS['table']}}}name") == sheet)
        charts, pictures = ods_objects(table)
        return {"sheets": 1, "charts": charts, "pictures": pictures}
    if path.endswith(".xls"):
        return {"sheets": 1, "charts": 0, "pictures": 0}
    with zipfile.ZipFile(path) as z:
        workbook = ET.fromstring(z.read("xl/workbook.xml"))
        rid = next(s.get(f"{{{NS['r']}}}id") for s in workbook.iter(f"{{{NS['main']}}}sheet")
                   if s.get("name") == sheet)
        part = next(t for i, _, t in part_rels(z, "xl/workbook.xml") if i == rid)
        charts = pictures = 0
        for _, kind, drawing in part_rels(z, part):
            if kind == "drawing":
                text = z.read(drawing).decode("utf-8", "replace")
                pictures += len(re.findall(r"<(?:\w+:)?pic>", text))
                charts += sum(1 for _, k, _ in part_rels(z, drawing) if k == "chart")
        return {"sheets": 1, "charts": charts, "pictures": pictures}


def losses(before, per_copy, after, count):
    lost = []
    for kind in ("sheets", "charts", "pictures"):
        expected = before[kind] + count * per_copy[kind]
        if after[kind] != expected:
            lost.append(f"{kind} {after[kind]}/{expected}")
    return ", ".join(lost)


# ---------------------------------------------------------------- the run

def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--cli", default=os.environ.get("ORVANDEL_CLI",
                                                        os.path.join(ROOT, "build", "orvandel-cli")))
    parser.add_argument("--counts", default="10,100,1000")
    parser.add_argument("--books", default="small,large,wide,long")
    parser.add_argument("--keep-books", action="store_true",
                        help="use the workbooks the last run wrote to --out, when there are any")
    parser.add_argument("--pattern", default="Copy [x]",
                        help="names our copies after it ('' for the engine's own names)")
    parser.add_argument("--fs", default="disk,xfs",
                        help="where the runs write: disk (bench/out), and fresh loop-mounted "
                             "ext4 or xfs (with reflink) file systems when run as root")
    parser.add_argument("--tools", default=",".join(TOOLS))
    parser.add_argument("--cap", type=float, default=300, help="seconds before a run is stopped")
    parser.add_argument("--out", default=os.path.join(HERE, "out"))
    args = parser.parse_args()

    counts = [int(n) for n in args.counts.split(",")]
    books = args.books.split(",")
    tools = [t for t in TOOLS if t in args.tools.split(",")]
    if any(t.startswith("ours") for t in tools) and not os.access(args.cli, os.X_OK):
        sys.exit(f"orvandel-cli not found at {args.cli}; build it or pass --cli PATH")
    generated = os.path.join(args.out, "books")
    if args.keep_books and os.path.isdir(generated):
        print("Using the workbooks of the last run", flush=True)
    else:
        print("Writing the workbooks ...", flush=True)
        # In a process of its own, so that this one stays small (see timed()).
        subprocess.run([PYTHON, os.path.join(HERE, "make_workbooks.py"), generated], check=True)

    rows = []
    skipped_fs = []
    for fs in args.fs.split(","):
        if fs == "disk":
            work = os.path.join(args.out, "work")
            os.makedirs(work, exist_ok=True)
            run_books(args, fs, work, generated, books, counts, tools, rows)
            continue
        folder, why = mount_loop(fs, args.out)
        if folder is None:
            print(f"Skipping the runs on {fs}: {why}", flush=True)
            skipped_fs.append(f"{fs}: skipped, {why}")
            continue
        try:
            run_books(args, fs, folder, generated, books, counts, tools, rows)
        finally:
            unmount_loop(folder)

    report = render(rows, counts, books) + "".join(f"- {s}\n" for s in skipped_fs)
    print()
    print(report)
    with open(os.path.join(args.out, "results.md"), "w") as f:
        f.write(report)
    with open(os.path.join(args.out, "results.json"), "w") as f:
        json.dump(rows, f, indent=1)


def run_books(args, fs, work, generated, books, counts, tools, rows):
    counter = device_counter(work)
    for book in books:
        # "small-xls" is small.xls, the same workbook in the legacy format; "small-ods" the same
        # as an OpenDocument spreadsheet written by LibreOffice.
        base, _, other = book.partition("-")
        extension = {"xls": ".xls", "ods": ".ods"}.get(other, ".xlsx")
        original = os.path.join(generated, base + extension)
        sheet = make_workbooks.SOURCES[base]
        before = census(original)
        per_copy = source_objects(original, sheet)
        stopped = {}  # tool -> why larger counts are skipped
        for count in sorted(counts):
            final_size = None
            for tool in tools:
                row = {"fs": fs, "book": book, "bytes": os.path.getsize(original),
                       "count": count, "tool": tool, "seconds": None, "peak_kb": None,
                       "written": None, "final": None, "lost": "", "note": ""}
                rows.append(row)
                if tool == "openpyxl" and extension in (".xls", ".ods"):
                    stopped[tool] = f"skipped: openpyxl does not write {extension}"
                if tool in stopped:
                    row["note"] = stopped[tool]
                    continue
                target = os.path.join(work, f"{book}-{tool}-{count}{extension}")
                shutil.copyfile(original, target)
                print(f"{fs:4} {book:6} N={count:<5} {LABELS[tool]:28}", end=" ", flush=True)
                device_before = bytes_written(counter)
                if tool == "floor":
                    if final_size is None:
                        row["note"] = "skipped: no result of ours to size it"
                        print(row["note"])
                        continue
                    start = os.path.getsize(original)
                    sizes = [start + (final_size - start) * k // count for k in range(1, count + 1)]
                    row["seconds"] = run_floor(target, sizes, args.cap)
                    status = 0
                    if row["seconds"] is None:
                        row["note"] = f"stopped at the {args.cap:.0f} s cap"
                else:
                    if tool.startswith("ours"):
                        argv = [args.cli, "copy", target, "--sheet", sheet, "--count", str(count),
                                "--save", tool.split("-")[1]]
                        if args.pattern:
                            argv += ["--pattern", args.pattern]
                        status, seconds, peak, tail = run_measured(argv, args.cap)
                    elif tool == "openpyxl":
                        argv = [PYTHON, os.path.join(HERE, "peer_openpyxl.py"), target, sheet,
                                str(count)]
                        status, seconds, peak, tail = run_measured(argv, args.cap)
                    else:
                        status, seconds, peak, tail = run_libreoffice(target, sheet, count, args.cap)
                    if status is None:
                        row["note"] = f"stopped at the {args.cap:.0f} s cap"
                        stopped[tool] = f"skipped: over the {args.cap:.0f} s cap at a smaller N"
                    elif status != 0:
                        row["note"] = "failed: " + (tail.splitlines() or ["?"])[-1][:120]
                    else:
                        row["seconds"], row["peak_kb"] = seconds, peak
                        after = census(target)
                        row["lost"] = losses(before, per_copy, after, count)
                        if tool.startswith("ours") and final_size is None:
                            final_size = os.path.getsize(target)
                    if row["seconds"] is not None and count != max(counts):
                        nxt = min(n for n in counts if n > count)
                        if row["seconds"] * nxt / count > args.cap:
                            stopped[tool] = (f"skipped: {row['seconds']:.0f} s at N={count} "
                                             f"points past the {args.cap:.0f} s cap")
                device_after = bytes_written(counter)
                if device_before is not None and row["seconds"] is not None:
                    row["written"] = device_after - device_before
                    row["final"] = os.path.getsize(target)
                print(f"{row['seconds']:.2f} s" if row["seconds"] is not None else row["note"])
                os.remove(target)


def render(rows, counts, books):
    def find(fs, book, count, tool):
        return next((r for r in rows
                     if (r["fs"], r["book"], r["count"], r["tool"]) == (fs, book, count, tool)),
                    None)

    def mb(kb):
        return f"{kb / 1024:.0f}" if kb else "-"

    def per_copy(row):
        return row["seconds"] * 1000 / row["count"]

    lines = ["| fs | workbook | N | tool | seconds | ms per copy | peak MB | MB written "
             "| ÷ final size | ÷ ours each | ÷ ours once | lost |",
             "|---|---|---:|---|---:|---:|---:|---:|---:|---:|---:|---|"]
    for row in rows:
        each = find(row["fs"], row["book"], row["count"], "ours-each")
        once = find(row["fs"], row["book"], row["count"], "ours-once")
        sec = row["seconds"]

        def ratio(base):
            if sec is None or not base or base["seconds"] is None:
                return "-"
            return f"{sec / base['seconds']:.2f}"
        written = row.get("written")
        size = f"{row['book']} ({row['bytes'] / 1e6:.2f} MB)"
        lines.append("| " + " | ".join([
            row["fs"], size, str(row["count"]), LABELS[row["tool"]],
            f"{sec:.2f}" if sec is not None else "-",
            f"{per_copy(row):.1f}" if sec is not None else "-",
            mb(row["peak_kb"]),
            f"{written / 1e6:.1f}" if written is not None else "-",
            f"{written / row['final']:.2f}" if written is not None and row["final"] else "-",
            ratio(each), ratio(once),
            row["note"] or row["lost"] or "nothing"]) + " |")

    def verdict(ok):
        return "met" if ok else "MISSED"

    lines += ["", "Targets:", ""]
    for fs in dict.fromkeys(r["fs"] for r in rows):
        for book in books:
            for count in counts:
                each = find(fs, book, count, "ours-each")
                once = find(fs, book, count, "ours-once")
                if not each or each["seconds"] is None:
                    lines.append(f"- {fs}, {book}, N={count}: no result of ours with a save "
                                 "after every copy")
                    continue
                parts = []
                peers = [find(fs, book, count, t) for t in SAVES_ONCE]
                peers = [p for p in peers if p and p["seconds"] is not None]
                floor = find(fs, book, count, "floor")
                floor_ok = floor and floor["seconds"]
                floor_rule = False
                if peers:
                    best = min(peers, key=lambda p: p["seconds"])
                    factor = best["seconds"] / each["seconds"]
                    # Where the flushes alone cost more than a tenth of the peer's time, the mark
                    # is the floor's instead.
                    floor_rule = floor_ok and floor["seconds"] > best["seconds"] / 10
                    mark = ("the mark is 1.3x the I/O floor, which costs over a tenth of its time"
                            if floor_rule else f"{verdict(factor >= 10)}: 10x")
                    parts.append(f"{factor:.2f}x as fast as {LABELS[best['tool']]} ({mark})")
                if fs == "xfs" and once and once["seconds"]:
                    factor = each["seconds"] / once["seconds"]
                    parts.append(f"save each {factor:.2f}x save once ({verdict(factor <= 1.5)}: "
                                 "1.5x)")
                if fs == "xfs" and each.get("written") is not None and each["final"]:
                    factor = each["written"] / each["final"]
                    parts.append(f"wrote {factor:.2f}x the final file ({verdict(factor <= 2)}: 2x)")
                if floor_ok and (fs != "xfs" or floor_rule):
                    factor = each["seconds"] / floor["seconds"]
                    parts.append(f"{factor:.2f}x the I/O floor ({verdict(factor <= 1.3)}: 1.3x)")
                lines.append(f"- {fs}, {book}, N={count}: " + "; ".join(parts))
            for tool in ("ours-each", "ours-once"):
                low, high = find(fs, book, min(counts), tool), find(fs, book, max(counts), tool)
                if low and high and low["peak_kb"] and high["peak_kb"]:
                    factor = high["peak_kb"] / low["peak_kb"]
                    lines.append(f"- {fs}, {book}, peak memory of {LABELS[tool]}: "
                                 f"{mb(high['peak_kb'])} MB at N={max(counts)} against "
                                 f"{mb(low['peak_kb'])} MB at N={min(counts)}, {factor:.2f}x "
                                 f"({verdict(factor <= 1.5)}: 1.5x)")
    return "\n".join(lines) + "\n"


if __name__ == "__main__":
    main()
