"""openpyxl's own way to copy a sheet: copy_worksheet N times, one save at the end."""

import sys

import openpyxl


def main(path, sheet, count):
    book = openpyxl.load_workbook(path, keep_vba=path.endswith(".xlsm"))
    source = book[sheet]
    for _ in range(count):
        book.copy_worksheet(source)
    book.save(path)


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2], int(sys.argv[3]))
