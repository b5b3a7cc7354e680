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
