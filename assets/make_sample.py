#!/usr/bin/python3
"""Makes the sample workbook Samples/sample1.xls: a small invoice template written
as .xlsx by xlsxwriter, then saved as an Excel 97-2003 workbook by LibreOffice
(headless, through its UNO interface, with the "MS Excel 97" filter), so that the
sample is an .xls made by an independent writer.

LibreOffice reads the .xlsx print area both as the print range and as a sheet name
"_xlnm.Print_Area", and would write both; the name is removed before saving, so the
sample holds the print area once, as Excel writes it.

Usage: make_sample.py [OUTPUT_FOLDER]   (default: Samples/ beside this script)
Needs python3-xlsxwriter, python3-uno and libreoffice-calc.
"""
import os
import shutil
import subprocess
import sys
import tempfile
import time

import xlsxwriter

ITEMS = [
    ("Consulting (hours)", 12, 85.0),
    ("Travel", 1, 140.0),
    ("Printed reports", 25, 3.5),
    ("Software licence", 2, 199.0),
]
FIRST_ROW = 7      # first item row (1-based)
ITEM_ROWS = 10     # rows left for items


def write_xlsx(path):
    book = xlsxwriter.Workbook(path)
    title = book.add_format({"bold": True, "font_size": 16, "font_color": "#1F3864"})
    label = book.add_format({"bold": True})
    head = book.add_format({"bold": True, "bg_color": "#D9E1F2", "border": 1, "align": "center"})
    text = book.add_format({"border": 1})
    count = book.add_format({"border": 1, "num_format": "0"})
    money = book.add_format({"border": 1, "num_format": "#,##0.00"})
    total = book.add_format({"bold": True, "top": 2, "num_format": "#,##0.00"})
    percent = book.add_format({"num_format": "0%"})
    date = book.add_format({"num_format": "yyyy-mm-dd", "align": "left"})

    sheet = book.add_worksheet("Template")
    sheet.set_column("A:A", 28)
    sheet.set_column("B:B", 10)
    sheet.set_column("C:D", 14)
    sheet.write("A1", "Invoice", title)
    sheet.write("A3", "Customer", label)
    sheet.write("A4", "Date", label)
    sheet.write_formula("B4", "=DATE(2024,1,31)", date, 45322)
    sheet.write("C3", "Tax rate", label)
    sheet.write_number("D3", 0.2, percent)
    header_row = FIRST_ROW - 1
    for col, heading in enumerate(["Item", "Quantity", "Unit price", "Amount"]):
        sheet.write(header_row - 1, col, heading, head)
    for i in range(ITEM_ROWS):
        row = header_row + i
        name, qty, price = ITEMS[i] if i < len(ITEMS) else ("", None, None)
        sheet.write(row, 0, name, text)
        if qty is None:
            sheet.write_blank(row, 1, None, count)
            sheet.write_blank(row, 2, None, money)
        else:
            sheet.write_number(row, 1, qty, count)
            sheet.write_number(row, 2, price, money)
        excel_row = row + 1
        value = qty * price if qty is not None else 0
        sheet.write_formula(row, 3, f"=B{excel_row}*C{excel_row}", money, value)
    last = FIRST_ROW + ITEM_ROWS - 1
    subtotal = sum(q * p for _, q, p in ITEMS)
    sheet.write(last, 2, "Subtotal", label)
    sheet.write_formula(last, 3, f"=SUM(D{FIRST_ROW}:D{last})", total, subtotal)
    sheet.write(last + 1, 2, "Tax", label)
    sheet.write_formula(last + 1, 3, f"=D{last + 1}*$D$3", money, subtotal * 0.2)
    sheet.write(last + 2, 2, "Total", label)
    sheet.write_formula(last + 2, 3, f"=D{last + 1}+D{last + 2}", total, subtotal * 1.2)
    sheet.print_area(0, 0, last + 2, 3)
    sheet.set_header("&L&\"Arial,Bold\"Invoice&R&D")
    sheet.set_footer("&CPage &P of &N")
    sheet.fit_to_pages(1, 0)
    sheet.activate()

    notes = book.add_worksheet("Instructions")
    notes.set_column("A:A", 80)
    lines = [
        ("How to use this template", title),
        ("Fill in the customer, the date and one item per row.", None),
        ("Amounts, the subtotal, the tax and the total are worked out by formulas.", None),
        ("Copy the Template sheet once per invoice: each copy keeps its own formulas.", None),
    ]
    for row, (line, style) in enumerate(lines):
        notes.write(row, 0, line, style)
    book.close()


def save_as_xls(source, target, work):
    """Opens `source` in a headless LibreOffice of its own and saves it as `target`."""
    import uno
    from com.sun.star.beans import PropertyValue

    def prop(name, value):
        p = PropertyValue()
        p.Name, p.Value = name, value
        return p

    pipe = "orvandel-sample-%d" % os.getpid()
    office = subprocess.Popen(
        ["soffice", "-env:UserInstallation=file://" + os.path.join(work, "profile"), "--headless",
         "--invisible", "--norestore", "--accept=pipe,name=%s;urp;" % pipe],
        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        local = uno.getComponentContext()
        resolver = local.ServiceManager.createInstanceWithContext(
            "com.sun.star.bridge.UnoUrlResolver", local)
        for _ in range(200):
            try:
                ctx = resolver.resolve("uno:pipe,name=%s;urp;StarOffice.ComponentContext" % pipe)
                break
            except Exception:  # not listening yet
                time.sleep(0.3)
        else:
            raise SystemExit("LibreOffice did not start")
        desktop = ctx.ServiceManager.createInstanceWithContext("com.sun.star.frame.Desktop", ctx)
        doc = desktop.loadComponentFromURL(uno.systemPathToFileUrl(source), "_blank", 0,
                                           (prop("Hidden", True),))
        for sheet in doc.Sheets:
            if sheet.NamedRanges.hasByName("_xlnm.Print_Area"):
                sheet.NamedRanges.removeByName("_xlnm.Print_Area")
        doc.storeToURL(uno.systemPathToFileUrl(target), (prop("FilterName", "MS Excel 97"),))
        doc.close(True)
        try:
            desktop.terminate()
        except Exception:  # the bridge goes away as the office quits
            pass
        office.wait(timeout=60)
    finally:
        if office.poll() is None:
            office.kill()
            office.wait()


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    out = os.path.abspath(sys.argv[1]) if len(sys.argv) > 1 else os.path.join(here, "Samples")
    os.makedirs(out, exist_ok=True)
    with tempfile.TemporaryDirectory(prefix="orvandel-sample-") as work:
        source = os.path.join(work, "sample1.xlsx")
        write_xlsx(source)
        save_as_xls(source, os.path.join(work, "sample1.xls"), work)
        shutil.copyfile(os.path.join(work, "sample1.xls"), os.path.join(out, "sample1.xls"))
    print(os.path.join(out, "sample1.xls"))


if __name__ == "__main__":
    main()
