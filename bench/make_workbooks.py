"""Writes the benchmark's workbooks with xlsxwriter (an independent writer).

- small.xlsx: one short sheet, the everyday case.
- large.xlsx: about 5 MB. A "Data" sheet holds the bulk; the "Report" sheet that
  gets copied holds formulas (naming its own sheet and Data), styles, merges,
  widths, a picture and a chart, like a template sheet in a big workbook.
- wide.xlsx: a sheet a thousand columns wide, styled column by column.
- long.xlsx: about 200 KB, all of it on the copied "Ledger" sheet: 3,000 rows of values and
  formulas over the sheet itself, so that every copy is as large as the workbook.
- small.xls, large.xls: the first two converted to Excel 97-2003 by LibreOffice, when it is
  installed, for the legacy engine.
"""

import os
import random
import shutil
import struct
import subprocess
import sys
import tempfile
import zlib

import xlsxwriter

# The sheet each workbook's copies are made of.
SOURCES = {"small": "Sheet1", "large": "Report", "wide": "Wide", "long": "Ledger"}


def png(width, height):
    """A gradient picture, written by hand so that no imaging library is needed."""
    rows = b"".join(
        b"\x00" + b"".join(bytes((x * 255 // width, y * 255 // height, 160)) for x in range(width))
        for y in range(height))

    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))

    header = struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(rows))
            + chunk(b"IEND", b""))


def small(path):
    book = xlsxwriter.Workbook(path)
    sheet = book.add_worksheet("Sheet1")
    bold = book.add_format({"bold": True})
    sheet.write_row("A1", ["Item", "Qty", "Price", "Total"], bold)
    for r in range(2, 22):
        sheet.write_row(f"A{r}", [f"item {r}", r, r * 1.25])
        sheet.write_formula(f"D{r}", f"=B{r}*C{r}")
    sheet.write_formula("D22", "=SUM(Sheet1!D2:D21)", bold)
    book.close()


def large(path, out_dir):
    rng = random.Random(7)
    book = xlsxwriter.Workbook(path, {"constant_memory": False})
    money = book.add_format({"num_format": "#,##0.00", "font_color": "#1F4E79"})
    date = book.add_format({"num_format": "yyyy-mm-dd"})
    head = book.add_format({"bold": True, "bg_color": "#DDEBF7", "border": 1})

    report = book.add_worksheet("Report")
    data = book.add_worksheet("Data")

    rows = 100000
    data.write_row("A1", ["Id", "Region", "Product", "Amount", "Date", "With tax"], head)
    regions = ["North", "South", "East", "West", "Centre"]
    for r in range(2, rows + 2):
        data.write_number(f"A{r}", r - 1)
        data.write_string(f"B{r}", regions[r % 5])
        data.write_string(f"C{r}", f"Product {rng.randrange(100000)}")
        data.write_number(f"D{r}", rng.random() * 1000, money)
        data.write_number(f"E{r}", 44000 + r % 1000, date)
        data.write_formula(f"F{r}", f"=D{r}*1.2", money, 0)
    data.set_column("A:F", 14)

    title = book.add_format({"bold": True, "font_size": 16, "align": "center"})
    report.merge_range("A1:F1", "Quarterly report", title)
    report.write_row("A3", ["Region", "Total", "Count", "Average", "Share", "Target"], head)
    for i, region in enumerate(regions):
        r = 4 + i
        report.write_string(f"A{r}", region)
        report.write_formula(f"B{r}", f'=SUMIF(Data!$B$2:$B${rows + 1},A{r},Data!$D$2:$D${rows + 1})',
                             money, 0)
        report.write_formula(f"C{r}", f'=COUNTIF(Data!$B$2:$B${rows + 1},A{r})', None, 0)
        report.write_formula(f"D{r}", f"=IF(C{r}=0,0,B{r}/C{r})", money, 0)
        report.write_formula(f"E{r}", f"=B{r}/Report!$B$10", None, 0)
        report.write_number(f"F{r}", 100000 + i * 5000, money)
    report.write_formula("B10", "=SUM(Report!B4:B8)", money, 0)
    for r in range(12, 212):
        report.write_number(f"A{r}", r)
        report.write_formula(f"B{r}", f"=A{r}*Report!$F$4", money, 0)
    report.set_column("A:A", 16)
    report.set_column("B:F", 13)

    picture = os.path.join(out_dir, "logo.png")
    with open(picture, "wb") as f:
        f.write(png(160, 60))
    report.insert_image("H1", picture)

    chart = book.add_chart({"type": "column"})
    chart.add_series({"name": "Total", "categories": "=Report!$A$4:$A$8",
                      "values": "=Report!$B$4:$B$8"})
    chart.set_title({"name": "Totals by region"})
    report.insert_chart("H6", chart)
    book.close()


def wide(path):
    book = xlsxwriter.Workbook(path)
    sheet = book.add_worksheet("Wide")
    shades = [book.add_format({"bg_color": c}) for c in ("#FFF2CC", "#E2EFDA", "#FCE4D6")]
    columns = 1000
    for c in range(columns):
        sheet.set_column(c, c, 8 + c % 5, shades[c % 3])
    for r in range(6):
        for c in range(columns):
            if r == 5:
                sheet.write_formula(r, c, f"=SUM({xlsxwriter.utility.xl_col_to_name(c)}1:"
                                          f"{xlsxwriter.utility.xl_col_to_name(c)}5)", None, 0)
            else:
                sheet.write_number(r, c, r * columns + c)
    book.close()


def long(path):
    book = xlsxwriter.Workbook(path)
    sheet = book.add_worksheet("Ledger")
    head = book.add_format({"bold": True, "bottom": 1})
    money = book.add_format({"num_format": "#,##0.00"})
    sheet.write_row("A1", ["Day", "Account", "Qty", "Price", "Amount", "Balance", "Share"], head)
    rows = 3000
    for r in range(2, rows + 2):
        sheet.write_number(f"A{r}", 45000 + r // 7)
        sheet.write_string(f"B{r}", f"account {r % 37}")
        sheet.write_number(f"C{r}", r % 11 + 1)
        sheet.write_number(f"D{r}", (r * 7919 % 1000) / 10, money)
        sheet.write_formula(f"E{r}", f"=C{r}*D{r}", money, 0)
        sheet.write_formula(f"F{r}", f"=E{r}" if r == 2 else f"=F{r - 1}+E{r}", money, 0)
        sheet.write_formula(f"G{r}", f"=E{r}/Ledger!$E${rows + 2}", None, 0)
    sheet.write_formula(f"E{rows + 2}", f"=SUM(Ledger!E2:E{rows + 1})", money, 0)
    sheet.set_column("A:G", 12)
    sheet.freeze_panes(1, 0)
    book.close()


def main(out_dir):
    os.makedirs(out_dir, exist_ok=True)
    small(os.path.join(out_dir, "small.xlsx"))
    large(os.path.join(out_dir, "large.xlsx"), out_dir)
    wide(os.path.join(out_dir, "wide.xlsx"))
    long(os.path.join(out_dir, "long.xlsx"))
    convert(out_dir, ["small", "large"], "xls:MS Excel 97")
    convert(out_dir, ["small", "large"], "ods")


def convert(out_dir, books, target):
    """The books in another format, as LibreOffice writes it (.xls for the legacy engine, .ods for
    the OpenDocument engine)."""
    office = shutil.which("soffice") or shutil.which("libreoffice")
    if not office:
        return
    with tempfile.TemporaryDirectory() as profile:
        subprocess.run([office, f"-env:UserInstallation=file://{profile}", "--headless",
                        "--convert-to", target, "--outdir", out_dir]
                       + [os.path.join(out_dir, b + ".xlsx") for b in books],
                       check=True, capture_output=True, timeout=600)


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "out")
