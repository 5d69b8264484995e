// Writes and then reads N cells (default 1 000 000: integers, two-decimal doubles, other
// doubles, repeated and unique strings) with ZQExcel, then has python3-xlwt/xlrd and SheetJS
// (bench/sheetjs, after `npm install` there) do the same, side by side in each of five rounds
// (`--runs R` for another count), and prints every round, the medians, file sizes and the ratios
// of the medians. `--ours` leaves the peers out. `zqexcel_bench --scaling` times ZQExcel alone from
// 10 000 to 10 000 000 cells.
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

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

double Median(std::vector<double> v) {
    if (v.empty())
        return -1;
    std::sort(v.begin(), v.end());
    return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

// The rounds of one writer: its timings and their medians.
struct Series {
    const char* name;
    std::vector<Timing> runs;
    Timing median() const {
        Timing m;
        std::vector<double> w, r;
        for (const Timing& t : runs) {
            if (t.write < 0)
                return Timing{};
            w.push_back(t.write);
            r.push_back(t.read);
            m.size = t.size;
            m.checksum = t.checksum;
        }
        m.write = Median(w);
        m.read = Median(r);
        return m;
    }
};

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

double Load() {
    double avg[1] = {-1};
    ::getloadavg(avg, 1);
    return avg[0];
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
    long cells = 1000000;
    int rounds = 5;
    bool peers = true;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--runs") && i + 1 < argc)
            rounds = std::atoi(argv[++i]);
        else if (!std::strcmp(argv[i], "--ours"))
            peers = false;
        else
            cells = std::atol(argv[i]);
    }
    if (cells <= 0 || cells > 16777216 || rounds <= 0) {
        std::fprintf(stderr, "usage: zqexcel_bench [CELLS] [--runs R] [--ours] | --scaling\n");
        return 2;
    }
    std::printf(
        "%ld cells (%d rows x %d columns; integers, two-decimal doubles, other doubles, repeated "
        "and unique strings), %d rounds\n",
        cells, ShapeOf(cells).rows, ShapeOf(cells).cols, rounds);
    const bool have_xlwt = peers && ::access("/usr/bin/python3", X_OK) == 0;
    const bool have_sheetjs =
        peers && ::access((src + "/bench/sheetjs/node_modules/xlsx").c_str(), F_OK) == 0;
    Series ours{"ZQExcel", {}}, xlwt{"python3-xlwt / xlrd", {}}, sheetjs{"SheetJS (biff8)", {}};
    for (int round = 1; round <= rounds; ++round) {
        std::printf("round %d (load average %.2f)\n", round, Load());
        ours.runs.push_back(RunZQExcel(cells, dir + "/zqexcel.xls"));
        Print(ours.name, ours.runs.back(), ours.runs.back());
        if (have_xlwt) {
            xlwt.runs.push_back(RunPeer("/usr/bin/python3 '" + src + "/bench/xlwt_xlrd_bench.py' " +
                                        std::to_string(cells) + " '" + dir + "/xlwt.xls'"));
            Print(xlwt.name, xlwt.runs.back(), ours.runs.back());
        }
        if (have_sheetjs) {
            sheetjs.runs.push_back(RunPeer("node '" + src + "/bench/sheetjs/bench.js' " +
                                           std::to_string(cells) + " '" + dir + "/sheetjs.xls'"));
            Print(sheetjs.name, sheetjs.runs.back(), ours.runs.back());
        }
        std::fflush(stdout);
    }
    const Timing median = ours.median();
    std::printf("medians of %d rounds (load average %.2f)\n", rounds, Load());
    Print(ours.name, median, median);
    if (have_xlwt)
        Print(xlwt.name, xlwt.median(), median);
    if (have_sheetjs)
        Print(sheetjs.name, sheetjs.median(), median);
    for (const char* f : {"/zqexcel.xls", "/xlwt.xls", "/sheetjs.xls"})
        std::remove((dir + f).c_str());
    ::rmdir(dir.c_str());
    return median.write < 0 || median.read < 0 ? 1 : 0;
}
