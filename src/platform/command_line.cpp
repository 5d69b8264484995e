#include "platform/command_line.h"

#include <cctype>
#include <string_view>

namespace platform {
namespace {

bool EqualsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return true;
}

}  // namespace

CommandLineInfo ParseCommandLine(int argc, const char* const* argv) {
    CommandLineInfo info;
    if (argv == nullptr) {
        return info;
    }
    for (int i = 1; i < argc; ++i) {
        if (argv[i] == nullptr) {
            continue;
        }
        std::string_view arg = argv[i];
        if (arg == "--no-splash") {
            info.show_splash = false;
            continue;
        }
        if (arg.size() < 2 || (arg[0] != '/' && arg[0] != '-')) {
            continue;  // a file name: the program opens no documents
        }
        std::string_view flag = arg.substr(1);
        if (EqualsNoCase(flag, "Embedding") || EqualsNoCase(flag, "Automation")) {
            info.show_splash = false;
        }
    }
    return info;
}

}  // namespace platform
