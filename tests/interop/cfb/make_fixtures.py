#!/usr/bin/python3
"""Makes the compound files in fixtures/, which the interop test reads.

  libreoffice_small.xls, libreoffice_rows.xls  written by LibreOffice (soffice) from a csv
  olefile_written.xls                          libreoffice_rows.xls with both a big and a small
                                               stream rewritten by olefile's write_stream
  scattered_v3.cfb                             built here: mini FAT sectors and chains spread over
                                               the file, free sectors inside it, an unused directory
                                               entry in the middle, entries out of order, nested
                                               storages
  sectors_4096.cfb                             built here: major version 4, 4096-byte sectors

Run by hand (needs soffice and python3-olefile); the outputs are committed.
"""
import os
import shutil
import struct
import subprocess
import sys
import tempfile

import olefile

HERE = os.path.dirname(os.path.abspath(__file__))
OUT = os.path.join(HERE, "fixtures")

FREE, END, FATSECT = 0xFFFFFFFF, 0xFFFFFFFE, 0xFFFFFFFD
NOSTREAM = 0xFFFFFFFF


def pattern(size, seed):
    x = seed * 2654435761 + 1
    out = bytearray(size)
    for i in range(size):
        x = (x * 1103515245 + 12345) & 0xFFFFFFFF
        out[i] = (x >> 23) & 0xFF
    return bytes(out)


def libreoffice():
    work = tempfile.mkdtemp()
    try:
        small = os.path.join(work, "libreoffice_small.csv")
        with open(small, "w") as f:
            f.write('Name,Count,Price\nAlpha,1,2.5\nBeta,2,3.75\n"Gamma, Inc",3,=B2*C2\n')
        rows = os.path.join(work, "libreoffice_rows.csv")
        with open(rows, "w") as f:
            f.write("Row,Text,Value\n")
            for i in range(400):
                f.write(f"{i},item {i},{i * 1.5}\n")
        for csv in (small, rows):
            subprocess.run(["soffice", "--headless", "--convert-to", "xls", "--outdir", work, csv],
                           check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            name = os.path.basename(csv)[:-4] + ".xls"
            shutil.copy(os.path.join(work, name), os.path.join(OUT, name))
    finally:
        shutil.rmtree(work)


def olefile_written():
    target = os.path.join(OUT, "olefile_written.xls")
    shutil.copy(os.path.join(OUT, "libreoffice_rows.xls"), target)
    ole = olefile.OleFileIO(target, write_mode=True)
    for index, name in enumerate(["Workbook", "\x05SummaryInformation"]):
        ole.write_stream(name, pattern(ole.get_size(name), 40 + index))
    ole.close()


class Builder:
    """A compound file laid out sector by sector, so that the layout can be chosen."""

    def __init__(self, sector_size):
        self.ss = sector_size
        self.sectors = []  # bytes per sector, or None for a free one
        self.fat = []

    def add(self, data):
        self.sectors.append(data.ljust(self.ss, b"\0"))
        self.fat.append(END)
        return len(self.sectors) - 1

    def free(self):
        self.sectors.append(b"\xAA" * self.ss)
        self.fat.append(FREE)

    def chain(self, sectors):
        for a, b in zip(sectors, sectors[1:]):
            self.fat[a] = b
        return sectors[0] if sectors else END

    def stream(self, data, spread=False):
        sectors = []
        for i in range(0, len(data), self.ss):
            sectors.append(self.add(data[i:i + self.ss]))
            if spread:
                self.free()
        return self.chain(sectors)


def entry(name, kind, left=NOSTREAM, right=NOSTREAM, child=NOSTREAM, start=0, size=0):
    if kind == 0:
        return b"\0" * 64 + struct.pack("<HBBIII", 0, 0, 0, NOSTREAM, NOSTREAM, NOSTREAM) + b"\0" * 48
    raw = name.encode("utf-16-le")
    return (raw.ljust(64, b"\0") + struct.pack("<HBBIII", len(raw) + 2, kind, 1, left, right, child)
            + b"\0" * 36 + struct.pack("<IQ", start, size))


def finish(b, major, path, directory, mini_fat_start, mini_fat_count):
    per = b.ss // 4
    fat_count = 1
    while (len(b.sectors) + fat_count + per - 1) // per > fat_count:
        fat_count += 1
    fat_sectors = []
    for _ in range(fat_count):
        fat_sectors.append(b.add(b""))
        b.fat[-1] = FATSECT
    fat = b.fat + [FREE] * (fat_count * per - len(b.fat))
    for k, s in enumerate(fat_sectors):
        b.sectors[s] = struct.pack(f"<{per}I", *fat[k * per:(k + 1) * per])
    header = bytearray(512)
    header[0:8] = bytes.fromhex("D0CF11E0A1B11AE1")
    struct.pack_into("<HHHHH", header, 24, 0x3E, major, 0xFFFE, 9 if b.ss == 512 else 12, 6)
    dir_count = directory[1] if major == 4 else 0
    struct.pack_into("<IIIIIIIII", header, 40, dir_count, fat_count, directory[0], 0, 4096,
                     mini_fat_start, mini_fat_count, END, 0)
    difat = fat_sectors + [FREE] * (109 - fat_count)
    struct.pack_into("<109I", header, 76, *difat)
    with open(path, "wb") as f:
        f.write(bytes(header).ljust(b.ss, b"\0"))
        for data in b.sectors:
            f.write(data)


def build(path, sector_size, major, streams):
    """streams: list of (path tuple, data); storages are made for the path's parents."""
    b = Builder(sector_size)
    b.free()
    # Small streams go into the mini stream; mini FAT sectors are placed apart from each other.
    mini = bytearray()
    mini_fat = []
    starts = {}
    for name, data in streams:
        if 0 < len(data) < 4096:
            first = len(mini) // 64
            count = (len(data) + 63) // 64
            mini += data.ljust(count * 64, b"\0")
            mini_fat += [first + i + 1 for i in range(count - 1)] + [END]
            starts[name] = first
    big_streams = [(n, d) for n, d in streams if len(d) >= 4096]
    per = sector_size // 4
    mini_fat += [FREE] * (-len(mini_fat) % per)
    mini_fat_sectors = []
    for k in range(0, len(mini_fat), per):
        mini_fat_sectors.append(b.add(struct.pack(f"<{per}I", *mini_fat[k:k + per])))
        if big_streams:  # something in between, so that the mini FAT is not consecutive
            name, data = big_streams.pop(0)
            starts[name] = b.stream(data, spread=True)
    for name, data in big_streams:
        starts[name] = b.stream(data)
    root_start = b.stream(bytes(mini), spread=True) if mini else END
    mini_fat_start = b.chain(mini_fat_sectors)

    # Directory: entries in reverse order of their names, one unused entry among them.
    nodes = {(): {"kind": 5, "children": []}}
    for name, data in streams:
        for i in range(1, len(name)):
            if name[:i] not in nodes:
                nodes[name[:i]] = {"kind": 1, "children": []}
                nodes[name[:i - 1]]["children"].append(name[:i])
        nodes[name] = {"kind": 2, "data": data}
        nodes[name[:-1]]["children"].append(name)
    order = [()] + sorted([n for n in nodes if n], key=lambda n: n[-1], reverse=True)
    order.insert(2, None)
    ids = {n: i for i, n in enumerate(order) if n is not None}
    links = {}

    def key(n):
        return (len(n[-1]), n[-1].upper())

    for n, node in nodes.items():
        if node["kind"] == 2:
            continue
        kids = sorted(node["children"], key=key)

        def tree(lo, hi):
            if lo >= hi:
                return NOSTREAM
            mid = (lo + hi) // 2
            links[kids[mid]] = (tree(lo, mid), tree(mid + 1, hi))
            return ids[kids[mid]]

        node["child"] = tree(0, len(kids))
    raw = bytearray()
    for n in order:
        if n is None:
            raw += entry("", 0)
        elif n == ():
            raw += entry("Root Entry", 5, child=nodes[()]["child"], start=root_start,
                         size=len(mini))
        else:
            left, right = links[n]
            node = nodes[n]
            if node["kind"] == 1:
                raw += entry(n[-1], 1, left, right, node["child"])
            else:
                size = len(node["data"])
                raw += entry(n[-1], 2, left, right, start=starts[n] if size else END, size=size)
    raw += b"\0" * (-len(raw) % sector_size)
    b.free()
    dir_start = b.stream(bytes(raw), spread=True)
    finish(b, major, path, (dir_start, len(raw) // sector_size), mini_fat_start,
           len(mini_fat_sectors))


def main():
    os.makedirs(OUT, exist_ok=True)
    if "--no-soffice" not in sys.argv:
        libreoffice()
    olefile_written()
    build(os.path.join(OUT, "scattered_v3.cfb"), 512, 3, [
        (("Workbook",), pattern(6000, 1)),
        (("\x05SummaryInformation",), pattern(300, 2)),
        (("Sub", "inner"), pattern(4000, 3)),
        (("Sub", "lower"), pattern(4000, 4)),
        (("Sub", "Deeper", "empty"), b""),
        (("Sub", "Deeper", "big"), pattern(9000, 5)),
        (("a",), pattern(1, 6)),
        (("B",), pattern(4095, 7)),
        (("c",), pattern(4096, 8)),
    ])
    build(os.path.join(OUT, "sectors_4096.cfb"), 4096, 4, [
        (("Workbook",), pattern(10000, 9)),
        (("small",), pattern(300, 10)),
        (("Storage", "inside"), pattern(5000, 11)),
    ])


if __name__ == "__main__":
    main()
