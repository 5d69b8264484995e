// Writing and reading one stream of a compound document, against plain sequential file I/O of
// the same bytes, for stream sizes from 1 KB to 200 MB. Prints milliseconds per MB for both and
// their ratio; a flat column means time linear in the size.
//
//   cfb_bench [folder]     (default: the system's temporary folder)
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "spreadsheet/cfb/compound_document.h"

namespace {

using Clock = std::chrono::steady_clock;

// Best of several runs of `run` (after `prepare`, which is not timed), in seconds.
double Best(const std::function<void()>& prepare, const std::function<void()>& run,
            std::size_t size) {
    int runs = static_cast<int>(
        std::clamp<std::size_t>((64u << 20) / std::max<std::size_t>(size, 1), 3, 200));
    double best = 1e9;
    for (int i = 0; i < runs; ++i) {
        prepare();
        auto start = Clock::now();
        run();
        best = std::min(best, std::chrono::duration<double>(Clock::now() - start).count());
    }
    return best;
}

bool ok = true;
void Expect(bool condition) {
    ok = ok && condition;
}

}  // namespace

int main(int argc, char** argv) {
    std::filesystem::path dir = argc > 1 ? argv[1] : std::filesystem::temp_directory_path();
    const std::string doc_path = (dir / "cfb_bench.cfb").string();
    const std::string plain_path = (dir / "cfb_bench.bin").string();
    const std::size_t sizes[] = {1u << 10, 16u << 10, 256u << 10, 4u << 20, 32u << 20, 200u << 20};

    std::printf("%10s | %-28s | %-28s\n", "", "write ms/MB", "read ms/MB");
    std::printf("%10s | %8s %8s %9s | %8s %8s %9s\n", "size", "cfb", "plain", "ratio", "cfb",
                "plain", "ratio");
    for (std::size_t size : sizes) {
        std::vector<std::uint8_t> data(size);
        for (std::size_t i = 0; i < size; ++i) {
            data[i] = static_cast<std::uint8_t>(i * 131 + (i >> 9));
        }
        cfb::CompoundDocument doc;
        Expect(doc.Create(doc_path) && doc.MakeStream(u"Workbook") == cfb::kSuccess);
        int fd = ::open(plain_path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
        Expect(fd >= 0);

        double cfb_write =
            Best([&] { Expect(doc.WriteStream(u"Workbook", nullptr, 0) == 1); },
                 [&] { Expect(doc.WriteStream(u"Workbook", data.data(), size) == 1); }, size);
        double plain_write =
            Best([&] { Expect(::ftruncate(fd, 0) == 0); },
                 [&] { Expect(::pwrite(fd, data.data(), size, 0) == static_cast<ssize_t>(size)); },
                 size);
        std::vector<std::uint8_t> back;
        double cfb_read =
            Best([&] { back = {}; }, [&] { Expect(doc.ReadStream(u"Workbook", back) == 1); }, size);
        Expect(back == data);
        double plain_read =
            Best([&] { back = {}; },
                 [&] {
                     back.resize(size);
                     Expect(::pread(fd, back.data(), size, 0) == static_cast<ssize_t>(size));
                 },
                 size);
        ::close(fd);
        doc.Close();

        double mb = static_cast<double>(size) / (1 << 20);
        std::string label = size < (1u << 20) ? std::to_string(size >> 10) + " KB"
                                              : std::to_string(size >> 20) + " MB";
        std::printf("%10s | %8.3f %8.3f %8.2fx | %8.3f %8.3f %8.2fx\n", label.c_str(),
                    cfb_write * 1e3 / mb, plain_write * 1e3 / mb, cfb_write / plain_write,
                    cfb_read * 1e3 / mb, plain_read * 1e3 / mb, cfb_read / plain_read);
        std::fflush(stdout);
    }
    std::filesystem::remove(doc_path);
    std::filesystem::remove(plain_path);
    if (!ok) {
        std::printf("cfb_bench: an operation failed\n");
        return 1;
    }
    return 0;
}
