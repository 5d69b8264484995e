// Fuzz target: the station's own readers of Systemcfg.xml, DeviceInfo.xml and language tables,
// and the flag save, on arbitrary file contents. Nothing may crash, and a save either leaves
// the file byte-for-byte as it was or writes a document that loads again.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "config/device_options.h"
#include "config/system_config.h"
#include "i18n/language_table.h"

namespace {

// A private folder for the files of one fuzzing run, removed when the run ends.
char g_folder[] = "/tmp/zq_config_fuzz_XXXXXX";

std::string Folder() {
    static const bool made = [] {
        bool ok = mkdtemp(g_folder) != nullptr;
        std::atexit([] {
            std::error_code ec;
            std::filesystem::remove_all(g_folder, ec);
        });
        return ok;
    }();
    return made ? std::string(g_folder) + "/" : std::string("/tmp/");
}

void Write(const std::string& path, const uint8_t* data, size_t size) {
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
}

std::string Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string folder = Folder();
    const std::string file = folder + "Systemcfg.xml";
    Write(file, data, size);
    Write(folder + "DeviceInfo.xml", data, size);

    CAppSettings settings;
    settings.program_folder = folder;  // no Systemcfg.bk there: the file is never replaced
    settings.config_folder = folder;
    bool loaded = config::LoadSystemConfig(settings);
    std::string before = Read(file);
    for (bool& flag : settings.option_flags)
        flag = !flag;
    if (config::SaveOptionFlags(settings)) {
        CAppSettings again = settings;
        if (!loaded || !config::LoadSystemConfig(again))
            std::abort();
    } else if (Read(file) != before) {
        std::abort();
    }
    config::ReadDeviceOptions(folder + "DeviceInfo.xml");
    CLanguageTable table;
    table.Load(folder + "DeviceInfo.xml");
    (void)table.Text(0);
    return 0;
}
