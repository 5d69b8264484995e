// Writes and then reads N cells (default 1 000 000: integers, two-decimal doubles, other
// doubles, repeated and unique strings) with ZQExcel, then has python3-xlwt/xlrd and SheetJS
// (bench/sheetjs, after `npm install` there) do the same, and prints times, file sizes and
// ratios. `zqexcel_bench --scaling` times ZQExcel alone from 10 000 to 10 000 000 cells.
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

#include "spreadsheet/ZQExcel.h"

namespace {

using Clock = std::chrono::steady_clock;

double Since(Clock::time_point t) {
    return std::chrono::duration<double>(Clock::now() - t).count();
}

struct Shape {
    int rows, cols;
};
Shape ShapeOf(long cells) {
    int cols = static_cast<int>(std::max<long>(16, (cells + 65535) / 65536));
    return {static_cast<int>((cells + cols - 1) / cols), cols};
}

struct Timing {
    double write = -1, read = -1;
    long size = -1, checksum = -1;
};

Timing RunZQExcel(long cells, const std::string& path) {
    Timing t;
    Shape s = ShapeOf(cells);
    char buf[64];
    auto start = Clock::now();
    {
        ZQExcel x;
        if (!x.CreateExcel(path.c_str()))
            return t;
        long n = 0;
        for (int r = 0; r < s.rows; ++r) {
            for (int c = 0; c < s.cols && n < cells; ++c, ++n) {
                switch (c % 5) {
                    case 0:
                        x.Set(r, c, static_cast<int32_t>(r * 7 + c));
                        break;
                    case 1:
                        x.Set(r, c, (r % 10000) / 100.0 + c);
                        break;
                    case 2:
                        x.Set(r, c, r / 7.0 + c);
                        break;
                    case 3:
                        std::snprintf(buf, sizeof buf, "item %d", (r + c) % 100);
                        x.Set(r, c, buf);
                        break;
                    default:
                        std::snprintf(buf, sizeof buf, "u%d_%d", r, c);
                        x.Set(r, c, buf);
                }
            }
        }
    }
    t.write = Since(start);
    struct stat st;
    if (::stat(path.c_str(), &st) == 0)
        t.size = st.st_size;
    // Reading ends before the object's destruction, which saves the workbook back.
    start = Clock::now();
    {
        ZQExcel x;
        if (!x.LoadExcel(path.c_str()))
            return t;
        long sum = 0;
        double d;
        const int rows = x.GetRows(), cols = x.GetCols();
        for (int r = 0; r < rows; ++r) {
            for (int c = 0; c < cols; ++c) {
                if (x.Get(r, c, d))
                    ++sum;
                else if (x.Get(r, c, buf, sizeof buf) && buf[0])
                    ++sum;
            }
        }
        t.checksum = sum;
        t.read = Since(start);
    }
    return t;
}

Timing RunPeer(const std::string& command) {
    Timing t;
    FILE* p = ::popen((command + " 2>/dev/null").c_str(), "r");
    if (!p)
        return t;
    char line[256];
    while (std::fgets(line, sizeof line, p)) {
        char key[32];
        double v;
        if (std::sscanf(line, "%31s %lf", key, &v) != 2)
            continue;
        if (!std::strcmp(key, "write"))
            t.write = v;
        if (!std::strcmp(key, "read"))
            t.read = v;
        if (!std::strcmp(key, "size"))
            t.size = static_cast<long>(v);
        if (!std::strcmp(key, "checksum"))
            t.checksum = static_cast<long>(v);
    }
    if (::pclose(p) != 0)
        return Timing{};
    return t;
}

long PeakRssMb() {
    struct rusage u;
    ::getrusage(RUSAGE_SELF, &u);
    return u.ru_maxrss / 1024;
}

void Print(const char* name, const Timing& t, const Timing& ours) {
    if (t.write < 0) {
        std::printf("%-22s not available\n", name);
        return;
    }
    std::printf("%-22s write %8.3f s  read %8.3f s  size %10ld B  cells %8ld", name, t.write,
                t.read, t.size, t.checksum);
    if (&t != &ours)
        std::printf("  | ZQExcel %.1fx faster writing, %.1fx faster reading", t.write / ours.write,
                    t.read / ours.read);
    std::printf("\n");
}

}  // namespace

int main(int argc, char** argv) {
    const std::string src = ZQ_SOURCE_DIR;
    const std::string dir = "/tmp/zqexcel_bench_" + std::to_string(::getpid());
    ::mkdir(dir.c_str(), 0700);
    ZQExcel::SetCodePages("UTF-8", "UTF-8");
    if (argc > 1 && !std::strcmp(argv[1], "--scaling")) {
        std::printf("ZQExcel alone, write + read:\n");
        for (long cells : {10000L, 100000L, 1000000L, 10000000L}) {
            Timing t = RunZQExcel(cells, dir + "/scale.xls");
            std::printf(
                "%9ld cells  write %7.3f s  read %7.3f s  %6.0f ns/cell  size %10ld B  peak RSS "
                "%ld MB\n",
                cells, t.write, t.read, (t.write + t.read) * 1e9 / static_cast<double>(cells),
                t.size, PeakRssMb());
            std::remove((dir + "/scale.xls").c_str());
        }
        ::rmdir(dir.c_str());
        return 0;
    }
    long cells = argc > 1 ? std::atol(argv[1]) : 1000000;
    if (cells <= 0 || cells > 16777216) {
        std::fprintf(stderr, "usage: zqexcel_bench [CELLS | --scaling]\n");
        return 2;
    }
    std::printf(
        "%ld cells (%d rows x %d columns; integers, two-decimal doubles, other doubles, repeated "
        "and unique strings)\n",
        cells, ShapeOf(cells).rows, ShapeOf(cells).cols);
    Timing ours = RunZQExcel(cells, dir + "/zqexcel.xls");
    Timing xlwt, sheetjs;
    if (::access("/usr/bin/python3", X_OK) == 0)
        xlwt = RunPeer("/usr/bin/python3 '" + src + "/bench/xlwt_xlrd_bench.py' " +
                       std::to_string(cells) + " '" + dir + "/xlwt.xls'");
    if (::access((src + "/bench/sheetjs/node_modules/xlsx").c_str(), F_OK) == 0)
        sheetjs = RunPeer("node '" + src + "/bench/sheetjs/bench.js' " + std::to_string(cells) +
                          " '" + dir + "/sheetjs.xls'");
    Print("ZQExcel", ours, ours);
    Print("python3-xlwt / xlrd", xlwt, ours);
    Print("SheetJS (biff8)", sheetjs, ours);
    for (const char* f : {"/zqexcel.xls", "/xlwt.xls", "/sheetjs.xls"})
        std::remove((dir + f).c_str());
    ::rmdir(dir.c_str());
    return ours.write < 0 || ours.read < 0 ? 1 : 0;
}
