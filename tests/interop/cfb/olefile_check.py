#!/usr/bin/python3
"""Compares what python3-olefile reads from a compound file with a folder of expected content.

  olefile_check.py FILE FOLDER [--compact]

FOLDER holds one sub-folder per storage and one file per stream (names in UTF-8, storages nested
as in the document). Every storage and stream olefile finds must be there with the same bytes,
and nothing else. With --compact the file must also be whole sectors with no free sector inside.
Prints each difference and exits 1 when there is one.
"""
import os
import sys

import olefile


def main():
    path, folder = sys.argv[1], sys.argv[2]
    ole = olefile.OleFileIO(path, raise_defects=olefile.DEFECT_INCORRECT)
    problems = []
    seen_streams, seen_storages = set(), set()
    for parts in ole.listdir(streams=True, storages=True):
        name = "/".join(parts)
        kind = ole.get_type(parts)
        if kind == olefile.STGTY_STORAGE:
            seen_storages.add(name)
            continue
        seen_streams.add(name)
        expected_path = os.path.join(folder, *parts)
        if not os.path.isfile(expected_path):
            problems.append(f"unexpected stream {name!r}")
            continue
        with open(expected_path, "rb") as f:
            expected = f.read()
        data = ole.openstream(parts).read()
        if ole.get_size(parts) != len(expected) or data != expected:
            problems.append(f"stream {name!r}: {len(data)} bytes read, {len(expected)} expected"
                            + ("" if len(data) != len(expected) else ", contents differ"))
    for root, dirs, files in os.walk(folder):
        rel = os.path.relpath(root, folder)
        for d in dirs:
            name = os.path.normpath(os.path.join(rel, d)).replace(os.sep, "/")
            if name not in seen_storages:
                problems.append(f"storage {name!r} missing")
        for f in files:
            name = os.path.normpath(os.path.join(rel, f)).replace(os.sep, "/")
            if name not in seen_streams:
                problems.append(f"stream {name!r} missing")
    if "--compact" in sys.argv:
        size = os.path.getsize(path)
        if size % ole.sectorsize:
            problems.append(f"file size {size} is not whole sectors")
        sectors = size // ole.sectorsize - 1
        free = [s for s in range(min(sectors, len(ole.fat))) if ole.fat[s] == olefile.FREESECT]
        if free:
            problems.append(f"{len(free)} free sectors inside the file, first {free[0]}")
        if len(ole.fat) < sectors:
            problems.append("the FAT does not cover the file")
    for p in problems:
        print(p)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
