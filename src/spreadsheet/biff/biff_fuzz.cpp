// Fuzz target: an arbitrary "Workbook" stream inside a valid compound document, loaded through
// ZQExcel, read, changed and saved back at destruction, then loaded once more.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "spreadsheet/ZQExcel.h"
#include "spreadsheet/cfb/compound_document.h"

namespace {

const std::string& Path() {
    static const std::string path = [] {
        const char* dir = std::getenv("TMPDIR");
        std::string p = std::string(dir && *dir ? dir : "/tmp") + "/biff_fuzz_" +
                        std::to_string(::getpid()) + ".xls";
        std::atexit([] { std::remove(Path().c_str()); });
        return p;
    }();
    return path;
}

void Exercise(ZQExcel& x) {
    int32_t i;
    double d;
    char text[64];
    char16_t wtext[64];
    const int rows = x.GetRows(), cols = x.GetCols();
    for (int r = 0; r < rows && r < 8; ++r) {
        for (int c = 0; c < cols && c < 8; ++c) {
            x.Get(r, c, i);
            x.Get(r, c, d);
            x.Get(r, c, text, sizeof text);
            x.Get(r, c, wtext, 64);
        }
    }
    x.Set(0, 0, "fuzz");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    {
        cfb::CompoundDocument doc;
        if (!doc.Create(Path()) || doc.MakeStream(u"Workbook") != cfb::kSuccess ||
            doc.WriteStream(u"Workbook", data, size) != cfb::kSuccess)
            return 0;
    }
    bool loaded;
    {
        ZQExcel x;
        loaded = x.LoadExcel(Path().c_str()) == 1;
        if (loaded)
            Exercise(x);
    }
    if (loaded) {
        // What was saved back must load again.
        ZQExcel y;
        if (y.LoadExcel(Path().c_str()) != 1)
            std::abort();
        int32_t i = 0;
        y.Get(0, 0, i);
    }
    return 0;
}
