"""Writes a workbook with xlwt for the loading tests.

usage: xlwt_write.py OUT.xls ROWS

Row i of sheet "Data": i (integer), i / 4, "r<i>", "Zürich <i>", "北京 <i>", i % 2 == 0 (a
Boolean), then in column 6 a #DIV/0! error for every third row and TRUE otherwise, and -i * 100
in column 7. A second sheet "Other" holds "second" in A1.
"""
import sys

import xlwt


def main():
    path, rows = sys.argv[1], int(sys.argv[2])
    book = xlwt.Workbook(encoding="utf-8")
    sheet = book.add_sheet("Data")
    for i in range(rows):
        sheet.write(i, 0, i)
        sheet.write(i, 1, i / 4)
        sheet.write(i, 2, "r%d" % i)
        sheet.write(i, 3, "Zürich %d" % i)
        sheet.write(i, 4, "北京 %d" % i)
        sheet.write(i, 5, i % 2 == 0)
        if i % 3 == 0:
            sheet.row(i).set_cell_error(6, "#DIV/0!")
        else:
            sheet.write(i, 6, True)
        sheet.write(i, 7, -i * 100)
    book.add_sheet("Other").write(0, 0, "second")
    book.save(path)


if __name__ == "__main__":
    main()
