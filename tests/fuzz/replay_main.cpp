// Replays a fuzz target's seed corpus without libFuzzer: every file named on the command line,
// or found directly inside a folder named there, is passed once to LLVMFuzzerTestOneInput.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

static void RunFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

int main(int argc, char** argv) {
    int count = 0;
    for (int i = 1; i < argc; ++i) {
        std::filesystem::path path(argv[i]);
        std::error_code ec;
        if (std::filesystem::is_directory(path, ec)) {
            for (const auto& entry : std::filesystem::directory_iterator(path, ec)) {
                if (entry.is_regular_file()) {
                    RunFile(entry.path());
                    ++count;
                }
            }
        } else if (std::filesystem::is_regular_file(path, ec)) {
            RunFile(path);
            ++count;
        }
    }
    std::printf("replayed %d inputs\n", count);
    return 0;
}
