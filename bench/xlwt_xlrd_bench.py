"""Peer for zqexcel_bench: writes the benchmark cells with xlwt, reads them with xlrd.

usage: xlwt_xlrd_bench.py CELLS OUT.xls
prints: "write SECONDS", "read SECONDS", "size BYTES", "checksum N"
"""
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import xlrd  # noqa: E402
import xlwt  # noqa: E402

from zqexcel_data import shape, value  # noqa: E402


def main():
    cells, path = int(sys.argv[1]), sys.argv[2]
    rows, cols = shape(cells)
    t = time.perf_counter()
    book = xlwt.Workbook(encoding="utf-8")
    sheet = book.add_sheet("Sheet1")
    n = 0
    for r in range(rows):
        row = sheet.row(r)
        for c in range(cols):
            if n == cells:
                break
            row.write(c, value(r, c))
            n += 1
        if r % 1000 == 999:
            sheet.flush_row_data()
    book.save(path)
    print("write %.3f" % (time.perf_counter() - t))
    t = time.perf_counter()
    rb = xlrd.open_workbook(path)
    s = rb.sheet_by_index(0)
    checksum = 0
    for r in range(s.nrows):
        for v in s.row_values(r):
            if isinstance(v, float):
                checksum += 1
            elif v:
                checksum += 1
    print("read %.3f" % (time.perf_counter() - t))
    print("size %d" % os.path.getsize(path))
    print("checksum %d" % checksum)


if __name__ == "__main__":
    main()
