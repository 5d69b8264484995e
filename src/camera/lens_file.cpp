#include "camera/lens_file.h"

#include <cstdio>
#include <memory>

namespace camera {

LensFile ReadLensFile(const std::string& path) {
    LensFile file;
    if (path.empty())
        return file;
    std::unique_ptr<FILE, int (*)(FILE*)> in(std::fopen(path.c_str(), "rb"), &std::fclose);
    if (!in)
        return file;
    std::vector<uint8_t> bytes(ZQNET_LENS_FILE_MAX + 1);
    const size_t read = std::fread(bytes.data(), 1, bytes.size(), in.get());
    // A folder opens but does not read; an empty file has nothing a unit could take.
    if (std::ferror(in.get()) || read == 0)
        return file;
    if (read > ZQNET_LENS_FILE_MAX) {
        file.status = LensFile::Status::kTooLarge;
        return file;
    }
    bytes.resize(read);
    file.status = LensFile::Status::kRead;
    file.bytes = std::move(bytes);
    return file;
}

int LockFocus(ZQNET_HANDLE session) {
    ZQNetFocusLockRecord block{};
    return session != 0 && ZQNetPTZControl(session, ZQNET_PTZ_FOCUS_LOCK, &block) != 0 ? 48 : 49;
}

int ImportLensFile(ZQNET_HANDLE session, const std::string& path) {
    LensFile file = ReadLensFile(path);
    if (file.status == LensFile::Status::kTooLarge)
        return kLensFileTooLargeText;
    if (file.status != LensFile::Status::kRead || session == 0)
        return 49;
    ZQNetParamRequest request{};
    request.command = ZQNET_PARAM_WRITE;
    request.code = ZQNET_PARAM_LENS_FILE;
    request.buffer = file.bytes.data();
    request.size = static_cast<int32_t>(file.bytes.size());
    request.write = 1;
    return ZQNetSetParamEx(session, &request) != 0 ? 48 : 49;
}

}  // namespace camera
