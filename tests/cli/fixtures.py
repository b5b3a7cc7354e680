"""Small workbooks for the command-line tests, written by an independent writer
(xlsxwriter) so that the engine is never judged only on files it made itself."""

import xlsxwriter


def write_workbook(path, sheet_names=("Data",), chartsheet=None):
    """A workbook whose first sheet holds values, a formula naming its own
    sheet, a style, a merge, a column width and a note; the other sheets hold
    a value each. `chartsheet` adds a chart sheet of that name at the end."""
    book = xlsxwriter.Workbook(path)
    bold = book.add_format({"bold": True, "num_format": "0.00"})
    first = None
    for name in sheet_names:
        sheet = book.add_worksheet(name)
        if first is None:
            first = name
            sheet.write("A1", "Item", bold)
            sheet.write_column("A2", ["north", "south", "east"])
            sheet.write_column("B2", [1.5, 2.5, 3.5], bold)
            quoted = "'" + name.replace("'", "''") + "'"
            sheet.write_formula("B5", f"=SUM({quoted}!B2:B4)", bold, 7.5)
            sheet.merge_range("D1:E1", "merged", bold)
            sheet.set_column("A:A", 18)
            sheet.write_comment("A1", "a note")
        else:
            sheet.write("A1", f"on {name}")
    if chartsheet:
        chart = book.add_chart({"type": "column"})
        quoted = "'" + first.replace("'", "''") + "'"
        chart.add_series({"values": f"={quoted}!$B$2:$B$4"})
        book.add_chartsheet(chartsheet).set_chart(chart)
    book.close()


def tiny_png(width=16, height=8):
    """A small gradient picture, made without an imaging library."""
    import struct
    import zlib

    rows = b"".join(b"\x00" + b"".join(bytes((x * 16 % 256, y * 32 % 256, 200))
                                       for x in range(width)) for y in range(height))

    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data
                + struct.pack(">I", zlib.crc32(kind + data)))

    header = struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(rows))
            + chunk(b"IEND", b""))


def write_rich_workbook(path, picture_path):
    """A workbook whose sheet "Plan 1" carries one of each thing a copy must
    carry: values, styles, formulas naming their own sheet and another, merges,
    widths and heights, print area and titles, an autofilter, a picture, a chart,
    notes, validation, conditional formats and hyperlinks."""
    with open(picture_path, "wb") as f:
        f.write(tiny_png())
    book = xlsxwriter.Workbook(path)
    money = book.add_format({"num_format": "#,##0.00", "bg_color": "#FFF2CC", "border": 1})
    head = book.add_format({"bold": True, "font_color": "#1F4E79", "align": "center"})
    plan = book.add_worksheet("Plan 1")
    other = book.add_worksheet("Rates")
    other.write_column("A1", [0.1, 0.2, 0.3])

    plan.merge_range("A1:D1", "Budget", head)
    plan.write_row("A2", ["Item", "Amount", "Rate", "Total"], head)
    for r in range(3, 13):
        plan.write(f"A{r}", f"line {r - 2}")
        plan.write_number(f"B{r}", r * 10.5, money)
        plan.write_formula(f"C{r}", f"=Rates!$A${1 + r % 3}", None, 0.1)
        plan.write_formula(f"D{r}", f"='Plan 1'!B{r}*(1+C{r})", money, 0)
    plan.write_formula("D13", "=SUM('Plan 1'!D3:D12)", money, 0)
    plan.set_column("A:A", 20)
    plan.set_column("B:D", 12)
    plan.set_row(0, 28)
    plan.print_area("A1:D13")
    plan.repeat_rows(1)
    plan.autofilter("A2:D12")
    plan.insert_image("F2", picture_path)
    chart = book.add_chart({"type": "line"})
    chart.add_series({"categories": "='Plan 1'!$A$3:$A$12", "values": "='Plan 1'!$B$3:$B$12"})
    plan.insert_chart("F8", chart)
    plan.write_comment("B2", "amounts in euros")
    plan.write_comment("D13", "grand total")
    plan.data_validation("B3:B12", {"validate": "decimal", "criteria": ">=", "value": 0})
    plan.data_validation("A14", {"validate": "list", "source": ["yes", "no"]})
    plan.conditional_format("B3:B12", {"type": "cell", "criteria": ">", "value": 100,
                                       "format": head})
    plan.conditional_format("D3:D12", {"type": "data_bar"})
    plan.write_url("A15", "https://example.org/budget", string="Guide")
    plan.write_url("A16", "internal:'Plan 1'!A1", string="Top")
    book.close()


def declare_every_part_by_override(path):
    """Rewrites [Content_Types].xml as some office suites write it: every part,
    relationship parts included, named by an Override and no Default at all."""
    import re
    import zipfile

    with zipfile.ZipFile(path) as z:
        entries = [(i, z.read(i.filename)) for i in z.infolist()]
    types = dict(entries)[next(i for i, _ in entries if i.filename == "[Content_Types].xml")]
    text = types.decode("utf-8")
    defaults = {m.group(1).lower(): m.group(2)
                for m in re.finditer(r'<Default Extension="([^"]+)" ContentType="([^"]+)"/>', text)}
    named = {m.group(1).lower() for m in re.finditer(r'<Override PartName="([^"]+)"', text)}
    text = re.sub(r'<Default [^>]*/>', "", text)
    extra = "".join(
        f'<Override PartName="/{i.filename}" ContentType="{defaults[i.filename.rsplit(".", 1)[-1].lower()]}"/>'
        for i, _ in entries
        if i.filename != "[Content_Types].xml" and ("/" + i.filename).lower() not in named
        and i.filename.rsplit(".", 1)[-1].lower() in defaults)
    text = text.replace("</Types>", extra + "</Types>")
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as z:
        for info, data in entries:
            z.writestr(info, text.encode("utf-8") if info.filename == "[Content_Types].xml" else data)


def parts_without_content_type(path):
    """The parts of the package that no Override or Default gives a content type."""
    import re
    import zipfile

    with zipfile.ZipFile(path) as z:
        text = z.read("[Content_Types].xml").decode("utf-8")
        names = [n for n in z.namelist() if n != "[Content_Types].xml" and not n.endswith("/")]
    overrides = {m.group(1).lower() for m in re.finditer(r'PartName="([^"]+)"', text)}
    defaults = {m.group(1).lower() for m in re.finditer(r'Extension="([^"]+)"', text)}
    return [n for n in names
            if ("/" + n).lower() not in overrides and n.rsplit(".", 1)[-1].lower() not in defaults]


def write_table_workbook(path, scoped_formula="=SUM(Shop!$D$2:$D$4)"):
    """Sheet "Shop" holds the table "Sales" (a column formula, a totals row, an autofilter) and
    cells naming it in every form of structured reference and naming "Sales2", the table of
    "Rates"; the name "ShopTotal" scoped to "Shop" is `scoped_formula`, a workbook name is called
    "sales3", and "Summary" totals "Sales"."""
    book = xlsxwriter.Workbook(path)
    shop = book.add_worksheet("Shop")
    rates = book.add_worksheet("Rates")
    summary = book.add_worksheet("Summary")
    rows = [["pen", 3, 1.5], ["ink", 2, 4.0], ["pad", 5, 2.25]]
    shop.add_table("A1:D5", {
        "name": "Sales", "total_row": True, "data": rows,
        "columns": [{"header": "Item", "total_string": "Total"}, {"header": "Qty"},
                    {"header": "Price"},
                    {"header": "Amount", "formula": "=[@Qty]*[@Price]",
                     "total_function": "sum"}]})
    shop.write_formula("F2", "=SUM(Sales[Amount])", None, 25.75)
    shop.write_formula("F3", "=Sales[[#This Row],[Qty]]", None, 2)
    shop.write_formula("F4", "=ROWS(Sales[#All])", None, 5)
    shop.write_formula("F5", "=SUM(Sales2[Rate])", None, 0.3)
    rates.add_table("A1:A3", {"name": "Sales2", "columns": [{"header": "Rate"}],
                              "data": [[0.1], [0.2]]})
    summary.write_formula("A1", "=SUM(Sales[Amount])", None, 25.75)
    book.define_name("Shop!ShopTotal", scoped_formula)
    book.define_name("sales3", "=Rates!$A$2")
    book.close()


def write_hidden_workbook(path):
    """Worksheets "Shown", "Hidden" (hidden) and "Secret" (very hidden, which only code can
    show), then the chart sheet "Chart"."""
    import zipfile

    book = xlsxwriter.Workbook(path)
    book.add_worksheet("Shown").write("A1", 1)
    book.add_worksheet("Hidden").hide()
    book.add_worksheet("Secret").hide()
    chart = book.add_chart({"type": "column"})
    chart.add_series({"values": "=Shown!$A$1:$A$1"})
    book.add_chartsheet("Chart").set_chart(chart)
    book.close()
    with zipfile.ZipFile(path) as z:
        entries = [(i, z.read(i.filename)) for i in z.infolist()]
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as z:
        for info, data in entries:
            if info.filename == "xl/workbook.xml":
                data = data.replace(b'name="Secret" sheetId="3" state="hidden"',
                                    b'name="Secret" sheetId="3" state="veryHidden"')
            z.writestr(info, data)
