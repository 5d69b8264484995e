// zqxls: a small command-line tool on the ZQExcel library.
//   zqxls cat FILE.xls             prints the first sheet as CSV (RFC 4180) on standard output
//   zqxls from-csv IN.csv OUT.xls  writes a workbook whose first sheet holds the CSV's fields
// Texts are taken and printed in the locale's character set. In from-csv a field that is a
// whole 32-bit integer becomes an integer cell, a finite decimal number a double cell, an empty
// field an empty cell, and anything else a text cell; a UTF-8 byte-order mark at the start of the
// CSV is dropped. Exit status 0 on success, 1 on failure
// (with a message on standard error), 2 for a wrong command line.
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "spreadsheet/ZQExcel.h"

namespace {

int Usage() {
    std::fprintf(stderr, "usage: zqxls cat FILE.xls\n       zqxls from-csv IN.csv OUT.xls\n");
    return 2;
}

std::string Quote(const std::string& field) {
    if (field.find_first_of(",\"\r\n") == std::string::npos)
        return field;
    std::string out = "\"";
    for (char c : field) {
        if (c == '"')
            out += '"';
        out += c;
    }
    return out + "\"";
}

std::string FormatDouble(double d) {
    char buf[64];
    auto r = std::to_chars(buf, buf + sizeof buf, d);
    return std::string(buf, r.ptr);
}

// Reads the workbook from a private copy, since the library writes a loaded workbook back into
// its file when it is released.
int Cat(const char* path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "zqxls: cannot read %s: %s\n", path, std::strerror(errno));
        return 1;
    }
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const char* tmpdir = std::getenv("TMPDIR");
    std::string tmpl = std::string(tmpdir && *tmpdir ? tmpdir : "/tmp") + "/zqxls-XXXXXX";
    std::vector<char> name(tmpl.begin(), tmpl.end());
    name.push_back('\0');
    int fd = ::mkstemp(name.data());
    if (fd < 0) {
        std::fprintf(stderr, "zqxls: cannot make a temporary file: %s\n", std::strerror(errno));
        return 1;
    }
    bool written = ::write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    ::close(fd);
    int status = 0;
    if (!written) {
        std::fprintf(stderr, "zqxls: cannot write a temporary file\n");
        status = 1;
    } else {
        ZQExcel book;
        if (!book.LoadExcel(name.data())) {
            std::fprintf(stderr, "zqxls: %s is not a readable workbook\n", path);
            status = 1;
        } else {
            const int rows = book.GetRows(), cols = book.GetCols();
            std::string line, text;
            std::vector<char> buf;
            std::vector<char16_t> wbuf;
            for (int r = 0; r < rows; ++r) {
                line.clear();
                for (int c = 0; c < cols; ++c) {
                    if (c)
                        line += ',';
                    int32_t i;
                    double d;
                    buf.resize(64);
                    if (book.Get(r, c, i) && book.Get(r, c, d) && d == i) {
                        line += std::to_string(i);
                    } else if (book.Get(r, c, d)) {
                        line += FormatDouble(d);
                    } else {
                        // Texts of up to 32 767 units; a UTF-8 character takes up to 3 bytes per
                        // unit.
                        buf.resize(32768 * 3);
                        wbuf.resize(32768);
                        if (book.Get(r, c, buf.data(), static_cast<int>(buf.size()))) {
                            line += Quote(buf.data());
                        } else if (book.Get(r, c, wbuf.data(), static_cast<int>(wbuf.size()))) {
                            int length = 0;
                            std::unique_ptr<char[]> n(ZQExcel::WideToASNChar(wbuf.data(), length));
                            line += Quote(n.get());
                        }
                    }
                }
                line += "\r\n";
                std::fwrite(line.data(), 1, line.size(), stdout);
            }
        }
    }
    std::remove(name.data());
    if (std::fflush(stdout) != 0)
        status = 1;
    return status;
}

// RFC 4180 fields; quoted fields may hold commas, quotes and line breaks.
std::vector<std::vector<std::string>> ParseCsv(const std::string& s) {
    std::vector<std::vector<std::string>> rows;
    std::vector<std::string> row;
    std::string field;
    bool quoted = false, any = false;
    for (size_t i = 0; i < s.size(); ++i) {
        char c = s[i];
        any = true;
        if (quoted) {
            if (c == '"' && i + 1 < s.size() && s[i + 1] == '"') {
                field += '"';
                ++i;
            } else if (c == '"') {
                quoted = false;
            } else {
                field += c;
            }
        } else if (c == '"') {
            quoted = true;
        } else if (c == ',') {
            row.push_back(std::move(field));
            field.clear();
        } else if (c == '\n' || c == '\r') {
            if (c == '\r' && i + 1 < s.size() && s[i + 1] == '\n')
                ++i;
            row.push_back(std::move(field));
            field.clear();
            rows.push_back(std::move(row));
            row.clear();
            any = false;
        } else {
            field += c;
        }
    }
    if (any) {
        row.push_back(std::move(field));
        rows.push_back(std::move(row));
    }
    return rows;
}

int FromCsv(const char* in_path, const char* out_path) {
    std::ifstream in(in_path, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "zqxls: cannot read %s: %s\n", in_path, std::strerror(errno));
        return 1;
    }
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // Spreadsheet programs save UTF-8 CSV with a byte-order mark; it is no part of the first field.
    if (text.compare(0, 3, "\xEF\xBB\xBF") == 0)
        text.erase(0, 3);
    auto rows = ParseCsv(text);
    if (rows.size() > 65536) {
        std::fprintf(stderr, "zqxls: %s has %zu rows; a sheet holds 65536\n", in_path, rows.size());
        return 1;
    }
    for (const auto& row : rows) {
        if (row.size() > 256) {
            std::fprintf(stderr, "zqxls: %s has a row of %zu fields; a sheet holds 256 columns\n",
                         in_path, row.size());
            return 1;
        }
    }
    std::remove(out_path);
    {
        ZQExcel book;
        if (!book.CreateExcel(out_path)) {
            std::fprintf(stderr, "zqxls: cannot create %s\n", out_path);
            return 1;
        }
        for (size_t r = 0; r < rows.size(); ++r) {
            for (size_t c = 0; c < rows[r].size(); ++c) {
                const std::string& f = rows[r][c];
                int row = static_cast<int>(r), col = static_cast<int>(c);
                if (f.empty())
                    continue;
                int32_t i;
                auto ri = std::from_chars(f.data(), f.data() + f.size(), i);
                if (ri.ec == std::errc() && ri.ptr == f.data() + f.size()) {
                    book.Set(row, col, i);
                    continue;
                }
                double d;
                auto rd = std::from_chars(f.data(), f.data() + f.size(), d);
                if (rd.ec == std::errc() && rd.ptr == f.data() + f.size() && std::isfinite(d)) {
                    book.Set(row, col, d);
                    continue;
                }
                book.Set(row, col, f.c_str());
            }
        }
    }
    if (::access(out_path, F_OK) != 0) {
        std::fprintf(stderr, "zqxls: could not write %s\n", out_path);
        return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "cat") == 0)
        return Cat(argv[2]);
    if (argc == 4 && std::strcmp(argv[1], "from-csv") == 0)
        return FromCsv(argv[2], argv[3]);
    return Usage();
}
