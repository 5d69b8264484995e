"""Checks a workbook with xlrd (and its container with olefile) against expected cells.

usage: xls_check.py FILE.xls EXPECTED.txt [--other-streams]

With --other-streams the file may hold streams besides "Workbook" (a file written elsewhere).

EXPECTED.txt: first line "sheet NAME ROWS COLS"; then one line per cell,
"ROW COL TYPE VALUE" with TYPE number (VALUE a float literal), text (VALUE the UTF-8 text in
hex), error (VALUE the error code) or empty. Prints one line per difference and exits 1 when
there is any.
"""
import sys

import olefile
import xlrd


def main():
    path, expected_path = sys.argv[1], sys.argv[2]
    problems = []
    if not olefile.isOleFile(path):
        print("not a compound document")
        return 1
    ole = olefile.OleFileIO(path)
    other_streams = "--other-streams" in sys.argv[3:]
    if (["Workbook"] not in ole.listdir()) if other_streams else (ole.listdir() != [["Workbook"]]):
        problems.append("streams: %r" % ole.listdir())
    ole.close()
    book = xlrd.open_workbook(path)
    sheet = book.sheet_by_index(0)
    with open(expected_path, encoding="ascii") as f:
        lines = f.read().splitlines()
    _, name, rows, cols = lines[0].split(" ")
    if book.sheet_names()[0] != name:
        problems.append("sheet name %r" % book.sheet_names()[0])
    if (sheet.nrows, sheet.ncols) != (int(rows), int(cols)):
        problems.append("size %d x %d, expected %s x %s" % (sheet.nrows, sheet.ncols, rows, cols))
    for line in lines[1:]:
        parts = line.split(" ")
        r, c, kind = int(parts[0]), int(parts[1]), parts[2]
        if r >= sheet.nrows or c >= sheet.ncols:
            problems.append("cell %d,%d missing" % (r, c))
            continue
        cell = sheet.cell(r, c)
        if kind == "number":
            want = float(parts[3])
            if cell.ctype != xlrd.XL_CELL_NUMBER or cell.value != want:
                problems.append("cell %d,%d: %r %r, expected number %r" % (r, c, cell.ctype, cell.value, want))
        elif kind == "text":
            want = bytes.fromhex(parts[3]).decode("utf-8")
            if cell.ctype != xlrd.XL_CELL_TEXT or cell.value != want:
                problems.append("cell %d,%d: %r %r, expected text %r" % (r, c, cell.ctype, cell.value[:40], want[:40]))
        elif kind == "error":
            want = int(parts[3])
            if cell.ctype != xlrd.XL_CELL_ERROR or cell.value != want:
                problems.append("cell %d,%d: %r %r, expected error %r" % (r, c, cell.ctype, cell.value, want))
        elif kind == "empty":
            if cell.ctype not in (xlrd.XL_CELL_EMPTY, xlrd.XL_CELL_BLANK):
                problems.append("cell %d,%d: %r %r, expected empty" % (r, c, cell.ctype, cell.value))
    for p in problems:
        print(p)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
