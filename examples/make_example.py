#!/usr/bin/env python3
"""Makes examples/example.pdb, a small database of the project's own, and
examples/example.txt, the text that TxExport gives for it.

Run it from anywhere: python3 examples/make_example.py
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))

CATEGORIES = ["Unfiled", "Work", "Home", "Sums"]  # slots 0-3; the rest are free

# (category slot, secret, places, strip-zeros byte, text)
RECORDS = [
    (1, 0, 2, 1, b"Invoice totals\n120.50+80.25\n*1.19"),
    (2, 1, 0, 0, b"Door code\n4711"),
    (3, 0, 14, 1, b"Monthly budget\nrent 700\nfood 320\n\npower 65\n=sum"),
    (0, 0, 14, 1, b""),
    (3, 0, 4, 2, b"Pi to four places\n355/113"),
]

FIXED_DATE = 0xB5A3_1E00  # a fixed date, so that the file is the same every time


def app_info_block():
    block = bytearray(310)
    struct.pack_into(">H", block, 0, 0x000F)  # renamed-categories word
    for slot, name in enumerate(CATEGORIES):
        encoded = name.encode("ascii")
        block[2 + 16 * slot:2 + 16 * slot + len(encoded)] = encoded
        block[258 + slot] = slot          # category ids
    block[274] = len(CATEGORIES) - 1      # last id handed out
    return bytes(block)


def database():
    count = len(RECORDS)
    app_info_at = 72 + 6 + 8 * count
    data_at = app_info_at + 310
    header = bytearray(72)
    header[0:10] = b"TallixDemo"
    struct.pack_into(">HHIIIIIIII", header, 32, 0, 1, FIXED_DATE, FIXED_DATE, 0, 3, app_info_at, 0,
                     0, 0)
    header[60:64] = b"Data"
    header[64:68] = b"TalX"
    struct.pack_into(">I", header, 68, 0)
    entries = bytearray()
    data = bytearray()
    for category, secret, places, strip, text in RECORDS:
        entries += struct.pack(">IB3s", data_at + len(data), category | (0x10 if secret else 0), b"\0\0\0")
        data += bytes([places, strip]) + text + b"\0"
    return bytes(header) + struct.pack(">IH", 0, count) + bytes(entries) + app_info_block() + bytes(data)


def exported_text():
    out = bytearray()
    for category, secret, places, strip, text in RECORDS:
        out += b'Category = "%s"; Secret = %d\n' % (CATEGORIES[category].encode(), secret)
        out += b"Places = %d; StripZeros = %d\n" % (places, strip)
        out += text + b"\n" + b"~" * 27 + b"\n"
    return bytes(out)


def main():
    with open(os.path.join(HERE, "example.pdb"), "wb") as f:
        f.write(database())
    with open(os.path.join(HERE, "example.txt"), "wb") as f:
        f.write(exported_text())


if __name__ == "__main__":
    main()
