#!/usr/bin/env python3
"""Benchmark data, deterministic from a seed: a database of n records in one
record list, text files to merge into it, and the results to expect.

Each record: a unique title line and 3 to 30 lines of 5 to 40 printable
characters; categories among a few named slots; places 0-15; strip-zeros 0 or
1; about one in eight secret.
"""
import random
import struct

CATEGORIES = ["Unfiled", "Work", "Home", "Sums", "Travel"]
SEPARATOR = b"~" * 27 + b"\n"
PRINTABLE = bytes(range(0x20, 0x7F)).replace(b"~", b"")


class Record:
    __slots__ = ("category", "secret", "places", "strip", "text")

    def __init__(self, category, secret, places, strip, text):
        self.category, self.secret, self.places, self.strip, self.text = category, secret, places, strip, text

    def key(self):
        return ((self.category | (0x10 if self.secret else 0)), self.places, self.strip, self.text)


def _body(rng):
    lines = []
    for _ in range(rng.randint(3, 30)):
        lines.append(bytes(rng.choice(PRINTABLE) for _ in range(rng.randint(5, 40))))
    return b"\n".join(lines)


def make_records(count, seed):
    rng = random.Random(seed)
    records = []
    for i in range(count):
        title = b"Record %06d %s" % (i, bytes(rng.choice(b"abcdefghijklmnopqrstuvwxyz") for _ in range(8)))
        records.append(Record(rng.randrange(len(CATEGORIES)), rng.random() < 0.125, rng.randint(0, 15),
                              rng.randint(0, 1), title + b"\n" + _body(rng)))
    return records


def database_bytes(records):
    count = len(records)
    app_info_at = 72 + 6 + 8 * count
    header = bytearray(72)
    header[0:9] = b"BenchData"
    struct.pack_into(">HHIIIIIIII", header, 32, 0, 1, 0xB0000000, 0xB0000000, 0, 1, app_info_at, 0, 0, 0)
    header[60:68] = b"DataTalX"
    block = bytearray(310)
    for slot, name in enumerate(CATEGORIES):
        block[2 + 16 * slot:2 + 16 * slot + len(name)] = name.encode()
        block[258 + slot] = slot
    block[274] = len(CATEGORIES) - 1
    entries = bytearray()
    data = bytearray()
    offset = app_info_at + 310
    for r in records:
        entries += struct.pack(">IB3s", offset + len(data), r.category | (0x10 if r.secret else 0), b"\0\0\0")
        data += bytes([r.places, r.strip]) + r.text + b"\0"
    return bytes(header) + struct.pack(">IH", 0, count) + bytes(entries) + bytes(block) + bytes(data)


def block_of(r):
    return (b'Category = "%s"; Secret = %d\nPlaces = %d; StripZeros = %d\n' %
            (CATEGORIES[r.category].encode(), int(r.secret), r.places, r.strip)) + r.text + b"\n" + SEPARATOR


def exported_text(records):
    return b"".join(block_of(r) for r in records)


def merge_text(records, seed, new_share=0.0):
    """Half as many text records as the database has: `new_share` of them
    new, the rest 30% conflicts (an existing first line, a changed body) and
    70% exact duplicates.  Returns the text and the records that an import
    answered with All gives."""
    rng = random.Random(seed + 1)
    total = len(records) // 2
    new_count = int(total * new_share)
    picked = rng.sample(range(len(records)), total - new_count)
    result = list(records)
    entries = []  # (text block, the new record it adds, if any)
    for n, index in enumerate(picked):
        r = records[index]
        if n % 10 < 3:
            first_line = r.text.split(b"\n", 1)[0]
            changed = Record(r.category, r.secret, r.places, r.strip, first_line + b"\n" + _body(rng))
            entries.append((block_of(changed), None))
            result[index] = changed
        else:
            entries.append((block_of(r), None))
    for i in range(new_count):
        fresh = Record(rng.randrange(len(CATEGORIES)), False, 14, 1, b"New record %06d\n" % i + _body(rng))
        entries.append((block_of(fresh), fresh))
    rng.shuffle(entries)
    # New records are appended in the order of the text file.
    return b"".join(block for block, _ in entries), result + [fresh for _, fresh in entries if fresh]


def parse_database(data):
    """The records of a one-list database, as (attributes, places, strip, text)."""
    count = struct.unpack_from(">H", data, 76)[0]
    records = []
    for i in range(count):
        offset, attributes = struct.unpack_from(">IB", data, 78 + 8 * i)
        end = data.index(b"\0", offset + 2)
        records.append((attributes, data[offset], data[offset + 1], data[offset + 2:end]))
    return records
