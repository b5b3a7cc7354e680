"""LibreOffice's own way to copy a sheet, through its scripting interface (UNO):
XSpreadsheets.copyByName N times after the last sheet, one store at the end.

  peer_libreoffice.py PIPE --wait SECONDS     wait until the office answers
  peer_libreoffice.py PIPE BOOK SHEET N       load, copy, store, close
"""

import os
import sys
import time

import uno
from com.sun.star.beans import PropertyValue


def connect(pipe):
    local = uno.getComponentContext()
    resolver = local.ServiceManager.createInstanceWithContext(
        "com.sun.star.bridge.UnoUrlResolver", local)
    context = resolver.resolve(f"uno:pipe,name={pipe};urp;StarOffice.ComponentContext")
    return context.ServiceManager.createInstanceWithContext("com.sun.star.frame.Desktop", context)


def wait(pipe, seconds):
    deadline = time.monotonic() + seconds
    while True:
        try:
            connect(pipe)
            return 0
        except Exception:  # the office is still starting
            if time.monotonic() > deadline:
                print("LibreOffice did not answer", file=sys.stderr)
                return 1
            time.sleep(0.2)


def prop(name, value):
    p = PropertyValue()
    p.Name, p.Value = name, value
    return p


def copy(pipe, path, sheet, count):
    desktop = connect(pipe)
    url = uno.systemPathToFileUrl(os.path.abspath(path))
    doc = desktop.loadComponentFromURL(url, "_blank", 0, (prop("Hidden", True),))
    sheets = doc.Sheets
    for k in range(1, count + 1):
        sheets.copyByName(sheet, f"{sheet}_{k}", sheets.Count)
    doc.store()
    doc.close(True)
    return 0


if __name__ == "__main__":
    if sys.argv[2] == "--wait":
        sys.exit(wait(sys.argv[1], float(sys.argv[3])))
    sys.exit(copy(sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])))
