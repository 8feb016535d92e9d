#!/usr/bin/env python3
"""Writes the seed corpus in fuzz/corpus from two real workbooks (copied there beforehand)."""
import random
import struct
from pathlib import Path

CORPUS = Path(__file__).resolve().parent / "corpus"
SECTOR = 512


def write(name, data):
    (CORPUS / name).write_bytes(bytes(data))


def stamped(stamps, sectors, difat, fill=None):
    """A file in the target's stamp mode: 'S', the stamp count and the stamps in bytes 0..41,
    the header fields from byte 44 zero except the DIFAT list given, then data sectors."""
    header = bytearray(SECTOR)
    header[0] = ord("S")
    header[1] = len(stamps)
    for i, stamp in enumerate(stamps):
        header[2 + 5 * i:7 + 5 * i] = bytes(stamp)
    for k in range(109):
        value = difat[k] if k < len(difat) else 0xFFFFFFFF
        struct.pack_into("<I", header, 76 + 4 * k, value)
    if fill is not None:
        return header + bytes([fill]) * (sectors * SECTOR)
    rng = random.Random(sectors)
    return header + bytes(rng.randrange(256) for _ in range(sectors * SECTOR))


def workbook_stream(data):
    """The Workbook (or Book) stream of a sound compound file, through its allocation table,
    or its mini stream when it is shorter than the cutoff."""
    size = 1 << struct.unpack_from("<H", data, 30)[0]
    mini = 1 << struct.unpack_from("<H", data, 32)[0]
    fat_count, first_directory = struct.unpack_from("<II", data, 44)
    cutoff, first_mini_fat = struct.unpack_from("<II", data, 56)

    def sector(n):
        return data[(n + 1) * size:(n + 2) * size]

    def chain(start, table):
        while start < 0xFFFFFFFA:
            yield start
            start = table[start]

    def table(sectors):
        return [v for n in sectors for v in struct.unpack(f"<{size // 4}I", sector(n))]

    fat = table(struct.unpack_from("<109I", data, 76)[:fat_count])
    directory = b"".join(sector(n) for n in chain(first_directory, fat))
    entries = [directory[i:i + 128] for i in range(0, len(directory), 128)]
    for entry in entries:
        name = entry[:max(struct.unpack_from("<H", entry, 64)[0] - 2, 0)].decode("utf-16-le")
        if name not in ("Workbook", "Book"):
            continue
        start, length = struct.unpack_from("<II", entry, 116)
        if length >= cutoff:
            return b"".join(sector(n) for n in chain(start, fat))[:length]
        mini_stream = b"".join(sector(n) for n in chain(struct.unpack_from("<I", entries[0], 116)[0], fat))
        mini_fat = table(chain(first_mini_fat, fat))
        return b"".join(mini_stream[k * mini:(k + 1) * mini] for k in chain(start, mini_fat))[:length]
    raise ValueError("no workbook stream")


def damaged(data, at, replacement):
    data = bytearray(data)
    data[at:at + len(replacement)] = replacement
    return data


mtcars = (CORPUS / "readxl__mtcars.xls").read_bytes()
issue20 = (CORPUS / "xlrd__issue20.xls").read_bytes()

write("mtcars_header_zeroed.xls", bytes(SECTOR) + mtcars[SECTOR:])
rng = random.Random(20)
write("issue20_header_random.xls", bytes(rng.randrange(256) for _ in range(SECTOR)) + issue20[SECTOR:])
for length in (300, 1023, 1024):
    write(f"mtcars_truncated_{length}.xls", mtcars[:length])

# Stamps are (sector, kind, a, b, c): kind 0 chain from a | b << 8, 1 markers, 2 small values,
# 3 directory sector, 4 root entry alone; c % 128 entries at the end are left as they were.
# The header names data sector 0 as the table's first sector, so the rebuild searches for it.
write("stamped_tables.bin", stamped(
    [(1, 0, 1, 0, 0),       # chain 1..128: table position 0
     (2, 1, 3, 0, 0),       # all free: any position
     (3, 0, 129, 0, 0),     # chain 129..256: position 1
     (4, 2, 7, 3, 0),       # small values
     (5, 3, 0, 0, 0),       # root directory
     (6, 0, 0, 2, 60)],     # chain from 512, 60 entries short: on the fat-like threshold
    sectors=8, difat=[0, 3, 4, 9]))
write("stamped_partial_root.bin", stamped(
    [(0, 4, 0, 0, 0),       # root entry alone: not a directory sector with random neighbours
     (1, 0, 0, 4, 0),       # chain from 1024: position 8
     (2, 3, 0, 0, 0)],      # root directory in the trailing partial sector
    sectors=3, difat=[2, 1])[:3 * SECTOR + 300])
# The first table sector lies past sector 128, where the search of further positions stops.
write("stamped_far_table.bin", stamped(
    [(130, 0, 1, 0, 0),     # chain 1..128: position 0
     (131, 0, 129, 0, 0)],  # position 1
    sectors=133, difat=[0, 0, 0], fill=0))

# Bare workbook streams for tabulon-fuzz-stream. mtcars: globals, one sheet from 1266 to 2853,
# zeros to 4096. issue20: globals (sheet list from 1568, string table at 1797) and three sheets
# from 1858, 2910 and 3302.
mtcars_stream = workbook_stream(mtcars)
issue20_stream = workbook_stream(issue20)
write("stream_mtcars.bin", mtcars_stream)
write("stream_issue20.bin", issue20_stream)
write("stream_mtcars_cut_2000.bin", mtcars_stream[:2000])
write("stream_issue20_start_gone.bin", damaged(issue20_stream, 0, bytes(512)))
# The third sheet's entry in the list, 14 bytes long, says 30 (one bit flipped).
write("stream_issue20_length_bit.bin", damaged(issue20_stream, 1606, struct.pack("<H", 14 ^ 0x10)))
# Damage over the string table's record header and the first strings.
write("stream_issue20_table_hole.bin", damaged(issue20_stream, 1790, bytes(40)))
