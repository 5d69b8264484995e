// Small file helpers for tests: a temporary folder removed at the end of the scope, and whole-file
// reads and writes. Header-only; include as "support/test_files.h".
#pragma once

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>

namespace test_files {

class TempFolder {
  public:
    TempFolder() {
        char pattern[] = "/tmp/zq_test_XXXXXX";
        const char* made = mkdtemp(pattern);
        path_ = made != nullptr ? made : "/tmp";
    }
    ~TempFolder() {
        std::error_code ec;
        std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ec);
        std::filesystem::remove_all(path_, ec);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    // The folder followed by `name` (no trailing '/' added).
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

inline void WriteFile(const std::string& path, const std::string& bytes) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << bytes;
}

// Names of the entries of a folder (empty when it does not exist).
inline std::set<std::string> Entries(const std::string& folder) {
    std::set<std::string> names;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(folder, ec)) {
        names.insert(e.path().filename().string());
    }
    return names;
}

// True when file permissions bind this process (they do not for root).
inline bool PermissionsApply() {
    return geteuid() != 0;
}

}  // namespace test_files
