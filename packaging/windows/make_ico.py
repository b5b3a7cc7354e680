#!/usr/bin/env python3
"""Writes a Windows icon file holding the given PNG pictures as they are (the ICO format
takes PNG entries since Windows Vista): make_ico.py OUT.ico IN.png...."""
import struct
import sys


def png_size(data):
    if data[:8] != b"\x89PNG\r\n\x1a\n" or data[12:16] != b"IHDR":
        raise SystemExit("not a PNG picture")
    return struct.unpack(">II", data[16:24])


def main():
    out, pictures = sys.argv[1], [open(p, "rb").read() for p in sys.argv[2:]]
    header = struct.pack("<HHH", 0, 1, len(pictures))
    offset = len(header) + 16 * len(pictures)
    directory = b""
    for data in pictures:
        width, height = png_size(data)
        # 256 is written as 0.
        directory += struct.pack("<BBBBHHII", width % 256, height % 256, 0, 0, 1, 32,
                                 len(data), offset)
        offset += len(data)
    with open(out, "wb") as f:
        f.write(header + directory + b"".join(pictures))


if __name__ == "__main__":
    main()
