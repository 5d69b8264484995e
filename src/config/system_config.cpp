#include "config/system_config.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <system_error>
#include <vector>

#include "platform/folders.h"
#include "xml/xml_document.h"

namespace config {

namespace {

const char* const kOptionNames[kOptionFlagCount] = {
    "MainBoardName",  "ProductType",    "DeviceType",     "DeviceName",     "FunctionCode",
    "CustomType",     "KeyID",          "BoardID",        "HobDeviceType",  "FourDisk",
    "LanguageConfig", "Language",       "SerialNum",      "ProductCode",    "Format",
    "AngleRotation",  "AlarmOutputNum", "AlarmInputNum",  "AudioNum",       "PoePower",
    "HddGroup",       "Esataenable",    "MinFoaclLength", "MaxFoaclLength",
};

std::string ConfigPath(const CAppSettings& s) {
    return s.config_folder + "Systemcfg.xml";
}

// Flushes an open file, or a folder's entries, to disk.
bool SyncPath(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    bool ok = ::fsync(fd) == 0;
    ::close(fd);
    return ok;
}

// Copies `from` to `to` unless `to` exists; the copy is flushed to disk before it appears under
// its name, so a crash never leaves a torn or empty Systemcfg.xml.
void CopyWithoutOverwrite(const std::string& from, const std::string& to) {
    namespace fs = std::filesystem;
    std::error_code ec;
    // A symbolic link counts as existing even when it leads nowhere.
    if (!fs::is_regular_file(from, ec) || fs::exists(fs::symlink_status(to, ec)))
        return;
    std::string temp = to + ".new";
    if (!fs::copy_file(from, temp, fs::copy_options::overwrite_existing, ec) || !SyncPath(temp)) {
        fs::remove(temp, ec);
        return;
    }
    // link() fails when `to` appeared meanwhile, so an existing file is never replaced.
    if (::link(temp.c_str(), to.c_str()) != 0) {
        // File systems without hard links: fall back to a plain rename when still absent.
        if (!fs::exists(fs::symlink_status(to, ec)))
            fs::rename(temp, to, ec);
    }
    fs::remove(temp, ec);
    SyncPath(fs::path(to).parent_path().string());
}

// The file a write of `path` goes to: the target of a symbolic link (followed to the end), or
// `path` itself. Empty when a link leads nowhere.
std::string WriteTarget(const std::string& path) {
    std::error_code ec;
    if (!std::filesystem::is_symlink(path, ec))
        return path;
    std::filesystem::path target = std::filesystem::canonical(path, ec);
    return ec ? std::string() : target.string();
}

// True when the file may be replaced: it can be written by this process and, even for a user
// whom permissions do not bind, its mode grants someone the right to write it.
bool Writable(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && (st.st_mode & 0222) != 0 &&
           ::access(path.c_str(), W_OK) == 0;
}

// Writes the document to `path` through a temporary file in the same folder, flushed to disk,
// then renamed over `path`. The file keeps its permissions. Nothing is written when the file's
// encoding cannot hold every character of the document (the temporary file, read back, differs:
// kEncoding).
SaveResult WriteReplacing(CXmlDocument& doc, const std::string& path) {
    std::string temp = path + ".XXXXXX";
    int fd = ::mkstemp(temp.data());
    if (fd < 0)
        return SaveResult::kNotWritten;
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0)
        ::fchmod(fd, st.st_mode & 07777);
    ::close(fd);
    SaveResult result = SaveResult::kNotWritten;
    CXmlDocument written;
    if (doc.Save(temp) && written.Load(temp)) {
        if (written.GetDoc() != doc.GetDoc())
            result = SaveResult::kEncoding;
        else if (SyncPath(temp) && std::rename(temp.c_str(), path.c_str()) == 0)
            result = SaveResult::kWritten;
    }
    if (result != SaveResult::kWritten)
        std::remove(temp.c_str());
    return result;
}

// Reads Systemcfg.xml, enters the root, lets `edit` change the document and writes it back.
// Nothing is written when the file cannot be read, is damaged or read-only, or `edit` returns
// false; a document that `edit` left as it was is not written again (kWritten).
SaveResult EditConfig(const CAppSettings& s, const std::function<bool(CXmlDocument&)>& edit) {
    std::string path = WriteTarget(ConfigPath(s));
    if (path.empty() || !platform::IsFile(path))
        return SaveResult::kNotWritten;
    CXmlDocument doc;
    if (!doc.Load(path) || !doc.FindElement() || !doc.IntoElement())
        return SaveResult::kNotWritten;
    const std::string before = doc.GetDoc();
    if (!edit(doc))
        return SaveResult::kNotWritten;
    if (doc.GetDoc() == before)
        return SaveResult::kWritten;
    return Writable(path) ? WriteReplacing(doc, path) : SaveResult::kNotWritten;
}

}  // namespace

const char* OptionReadName(int flag) {
    return flag >= 0 && flag < kOptionFlagCount ? kOptionNames[flag] : "";
}

const char* OptionWriteName(int flag) {
    return flag == kPoePower ? "PoePowerNum" : OptionReadName(flag);
}

long long LeadingNumber(std::string_view text) {
    size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i])))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
        negative = text[i++] == '-';
    long long value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        int digit = text[i] - '0';
        if (value > (LLONG_MAX - digit) / 10) {
            value = LLONG_MAX;
            break;
        }
        value = value * 10 + digit;
    }
    return negative ? -value : value;
}

void FirstUseCopy(const CAppSettings& s) {
    std::string path = ConfigPath(s);
    if (platform::IsFile(path))
        return;
    platform::MakeFolders(s.config_folder);
    CopyWithoutOverwrite(s.program_folder + "Systemcfg.bk", path);
}

bool LoadSystemConfig(CAppSettings& s) {
    FirstUseCopy(s);
    std::string path = ConfigPath(s);
    if (!platform::IsFile(path))
        return false;
    CXmlDocument doc;
    if (!doc.Load(path) || !doc.FindElement() || !doc.IntoElement())
        return false;

    if (doc.FindElement("Language")) {
        long long index = LeadingNumber(doc.GetAttribute("cursel")) - 1;
        std::vector<std::string> paths;
        if (doc.IntoElement()) {
            while (doc.FindElement("language"))
                paths.push_back(doc.GetAttribute("path"));
            doc.OutOfElement();
        }
        if (index >= 0 && index < static_cast<long long>(paths.size())) {
            s.language_file = paths[static_cast<size_t>(index)];
        }
    }
    if (doc.FindElement("Version"))
        s.version = doc.GetText();
    if (doc.FindElement("ID_CHECK_SERVER_IP"))
        s.id_server_address = doc.GetText();
    if (doc.FindElement("ID_CHECK_SERVER_PORT")) {
        // Kept as an unsigned 16-bit value: the number modulo 65536.
        s.id_server_port = static_cast<uint16_t>(LeadingNumber(doc.GetText()) & 0xFFFF);
    }
    s.id_server_enabled =
        !s.id_server_address.empty() && strcasecmp(s.id_server_address.c_str(), "127.0.0.1") != 0;
    if (doc.FindElement("UserPassword"))
        s.user_password = doc.GetText();
    if (doc.FindElement("EnableUserPassword")) {
        s.user_password_enabled = LeadingNumber(doc.GetText()) != 0;
    }
    if (doc.FindElement("DeviceInfo") && doc.IntoElement()) {
        for (int f = 0; f < kOptionFlagCount; ++f) {
            // The power flag is written as PoePowerNum: read that when the file holds it, so
            // the operator's choice survives a restart; older files hold only PoePower.
            if (doc.FindElement(OptionWriteName(f)) || doc.FindElement(OptionReadName(f))) {
                s.option_flags[static_cast<size_t>(f)] = LeadingNumber(doc.GetText()) != 0;
            }
        }
        doc.OutOfElement();
    }
    return true;
}

bool SaveOptionFlags(const CAppSettings& s) {
    FirstUseCopy(s);
    auto write_flags = [&](CXmlDocument& doc) {
        if (!doc.FindElement("DeviceInfo") || !doc.IntoElement())
            return false;
        for (int f = 0; f < kOptionFlagCount; ++f) {
            if (doc.FindElement(OptionWriteName(f))) {
                doc.SetText(s.option_flags[static_cast<size_t>(f)] ? "1" : "0");
            }
        }
        doc.OutOfElement();
        return true;
    };
    return EditConfig(s, write_flags) == SaveResult::kWritten;
}

SaveResult SaveUserPassword(const CAppSettings& s) {
    return EditConfig(s, [&](CXmlDocument& doc) {
        return doc.FindElement("UserPassword") && doc.SetText(s.user_password);
    });
}

}  // namespace config
