#include "camera/lens_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace camera {

LensFile ReadLensFile(const std::string& path) {
    LensFile file;
    if (path.empty())
        return file;
    // Opened without blocking (a FIFO or a terminal would wait for a writer for ever) and read
    // only when it is a regular file.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return file;
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        return file;
    }
    std::vector<uint8_t> bytes(ZQNET_LENS_FILE_MAX + 1);
    size_t read = 0;
    while (read < bytes.size()) {
        const ssize_t got = ::read(fd, bytes.data() + read, bytes.size() - read);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            ::close(fd);
            return file;
        }
        if (got == 0)
            break;
        read += static_cast<size_t>(got);
    }
    ::close(fd);
    // An empty file has nothing a unit could take.
    if (read == 0)
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
