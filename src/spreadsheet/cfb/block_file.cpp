#include "spreadsheet/cfb/block_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

namespace cfb {

BlockFile::~BlockFile() { Close(); }

bool BlockFile::Create(const std::string& path) {
    Close();
    fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd_ < 0) {
        return false;
    }
    writable_ = true;
    size_ = 0;
    return true;
}

bool BlockFile::Open(const std::string& path) {
    Close();
    fd_ = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    writable_ = fd_ >= 0;
    if (fd_ < 0 && (errno == EACCES || errno == EROFS || errno == EPERM)) {
        fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    }
    if (fd_ < 0) {
        return false;
    }
    struct stat st {};
    if (::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) {
        Close();
        return false;
    }
    size_ = static_cast<std::uint64_t>(st.st_size);
    return true;
}

void BlockFile::Close() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
    fd_ = -1;
    writable_ = false;
    size_ = 0;
}

bool BlockFile::Read(std::uint64_t offset, void* buffer, std::size_t length) {
    auto* out = static_cast<unsigned char*>(buffer);
    while (length > 0) {
        if (offset >= size_) {
            std::memset(out, 0, length);
            return true;
        }
        std::size_t chunk = static_cast<std::size_t>(std::min<std::uint64_t>(length, size_ - offset));
        ssize_t got = ::pread(fd_, out, chunk, static_cast<off_t>(offset));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            return false;
        }
        if (got == 0) {  // the file became shorter under us
            std::memset(out, 0, length);
            return true;
        }
        out += got;
        offset += static_cast<std::uint64_t>(got);
        length -= static_cast<std::size_t>(got);
    }
    return true;
}

bool BlockFile::Write(std::uint64_t offset, const void* buffer, std::size_t length) {
    if (!writable_) {
        return false;
    }
    const auto* in = static_cast<const unsigned char*>(buffer);
    while (length > 0) {
        ssize_t put = ::pwrite(fd_, in, length, static_cast<off_t>(offset));
        if (put < 0 && errno == EINTR) {
            continue;
        }
        if (put <= 0) {
            return false;
        }
        in += put;
        offset += static_cast<std::uint64_t>(put);
        length -= static_cast<std::size_t>(put);
        size_ = std::max(size_, offset);
    }
    return true;
}

bool BlockFile::WriteZeros(std::uint64_t offset, std::size_t length) {
    static const unsigned char zeros[4096] = {};
    while (length > 0) {
        std::size_t chunk = std::min(length, sizeof zeros);
        if (!Write(offset, zeros, chunk)) {
            return false;
        }
        offset += chunk;
        length -= chunk;
    }
    return true;
}

bool BlockFile::Copy(std::uint64_t from, std::uint64_t to, std::uint64_t length) {
    std::vector<unsigned char> buffer(static_cast<std::size_t>(std::min<std::uint64_t>(length, 1 << 20)));
    while (length > 0) {
        std::size_t chunk = static_cast<std::size_t>(std::min<std::uint64_t>(length, buffer.size()));
        if (!Read(from, buffer.data(), chunk) || !Write(to, buffer.data(), chunk)) {
            return false;
        }
        from += chunk;
        to += chunk;
        length -= chunk;
    }
    return true;
}

bool BlockFile::Truncate(std::uint64_t size) {
    if (!writable_) {
        return false;
    }
    while (::ftruncate(fd_, static_cast<off_t>(size)) != 0) {
        if (errno != EINTR) {
            return false;
        }
    }
    size_ = size;
    return true;
}

}  // namespace cfb
