"""The benchmark's cell data, shared by the Python peers (the C++ and JavaScript sides build the
same values the same way): cell (r, c) by kind c % 5 -- 0 integer, 1 two-decimal double,
2 other double, 3 repeated string, 4 unique string."""


def shape(cells):
    cols = max(16, -(-cells // 65536))
    rows = -(-cells // cols)
    return rows, cols


def value(r, c):
    k = c % 5
    if k == 0:
        return r * 7 + c
    if k == 1:
        return (r % 10000) / 100.0 + c
    if k == 2:
        return r / 7.0 + c
    if k == 3:
        return "item %d" % ((r + c) % 100)
    return "u%d_%d" % (r, c)
