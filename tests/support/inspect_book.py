"""Reads a workbook with openpyxl, a reader that shares no code with the engine.

  inspect_book.py sheets BOOK              prints the sheet names, one per line
  inspect_book.py compare BOOK SOURCE COPY  exits 1, listing the differences, unless the sheet
                                          COPY equals SOURCE as openpyxl sees it; formulas of
                                          COPY may name COPY where SOURCE names itself
"""

import re
import sys
import warnings

import openpyxl

# openpyxl warns about extensions it drops; they are not what is being compared here.
warnings.simplefilter("ignore")


def quoted(name):
    if re.fullmatch(r"[A-Za-z_][A-Za-z0-9_.]*", name):
        return name
    return "'" + name.replace("'", "''") + "'"


def own_refs(formula, name):
    """The formula with references to sheet `name` spelled <self>; string literals untouched."""
    pieces = formula.split('"')
    for i in range(0, len(pieces), 2):
        for spelling in {quoted(name), "'" + name + "'", name}:
            pieces[i] = pieces[i].replace(spelling + "!", "<self>!")
    return '"'.join(pieces)


def facts(book, name):
    sheet = book[name]
    cells = {}
    for row in sheet.iter_rows():
        for cell in row:
            if cell.value is None:
                continue
            value = cell.value
            if isinstance(value, str) and value.startswith("="):
                value = own_refs(value, name)
            elif not isinstance(value, (str, int, float)):
                value = str(value)
            cells[cell.coordinate] = (value, cell.number_format)
    widths = {k: v.width for k, v in sheet.column_dimensions.items() if v.customWidth}
    heights = {k: v.height for k, v in sheet.row_dimensions.items() if v.customHeight}
    validations = sorted(
        (str(dv.sqref), own_refs(dv.formula1 or "", name))
        for dv in sheet.data_validations.dataValidation)
    formats = sorted(str(rng.sqref) for rng in sheet.conditional_formatting)
    comments = sorted(c.coordinate for row in sheet.iter_rows() for c in row if c.comment)
    links = sorted(c.coordinate for row in sheet.iter_rows() for c in row if c.hyperlink)
    return {
        "cells": cells,
        "merges": sorted(str(m) for m in sheet.merged_cells.ranges),
        "widths": widths,
        "heights": heights,
        "images": len(sheet._images),
        "charts": len(sheet._charts),
        "validations": validations,
        "formats": formats,
        "comments": comments,
        "hyperlinks": links,
        "autofilter": sheet.auto_filter.ref,
        "print_area": own_refs(str(sheet.print_area), name),
        "print_titles": str(sheet.print_title_rows),
    }


def main():
    mode, path = sys.argv[1], sys.argv[2]
    book = openpyxl.load_workbook(path)
    if mode == "sheets":
        for name in book.sheetnames:
            print(name)
        return 0
    source, copy = sys.argv[3], sys.argv[4]
    a, b = facts(book, source), facts(book, copy)
    problems = [f"{key}: {a[key]!r} != {b[key]!r}" for key in a if a[key] != b[key]]
    for line in problems:
        print(line)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
