#include "spreadsheet/cfb/block_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

namespace cfb {

BlockFile::~BlockFile() {
    Close();
}

bool BlockFile::Create(const std::string& path) {
    Close();
    // A file that is empty already (one just made by mkstemp, say) is not truncated again: on
    // ext4, truncating a file to nothing makes its close() start the write-back of everything
    // written to it since and wait for that to be queued (some 60 ms for 170 MB).
    fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd_ < 0) {
        return false;
    }
    writable_ = true;
    struct stat st {};
    if (::fstat(fd_, &st) != 0 || (st.st_size != 0 && !Truncate(0))) {
        Close();
        return false;
    }
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
        std::size_t chunk =
            static_cast<std::size_t>(std::min<std::uint64_t>(length, size_ - offset));
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

bool BlockFile::WriteGather(std::vector<Piece>& pieces) {
    if (!writable_) {
        return false;
    }
    std::stable_sort(pieces.begin(), pieces.end(),
                     [](const Piece& a, const Piece& b) { return a.offset < b.offset; });
    constexpr std::size_t kMaxPieces = 512;
    std::vector<iovec> iov;
    for (std::size_t i = 0; i < pieces.size();) {
        std::size_t j = i;
        std::uint64_t end = pieces[i].offset;
        iov.clear();
        while (j < pieces.size() && pieces[j].offset == end && j - i < kMaxPieces) {
            iov.push_back({const_cast<void*>(pieces[j].data), pieces[j].length});
            end += pieces[j].length;
            ++j;
        }
        ssize_t put;
        do {
            put = ::pwritev(fd_, iov.data(), static_cast<int>(iov.size()),
                            static_cast<off_t>(pieces[i].offset));
        } while (put < 0 && errno == EINTR);
        if (put < 0) {
            return false;
        }
        size_ = std::max(size_, pieces[i].offset + static_cast<std::uint64_t>(put));
        // A short write: the rest piece by piece.
        auto done = static_cast<std::uint64_t>(put);
        for (std::size_t k = i; k < j; ++k) {
            std::uint64_t skip = std::min<std::uint64_t>(done, pieces[k].length);
            done -= skip;
            if (skip < pieces[k].length &&
                !Write(pieces[k].offset + skip,
                       static_cast<const unsigned char*>(pieces[k].data) + skip,
                       static_cast<std::size_t>(pieces[k].length - skip))) {
                return false;
            }
        }
        i = j;
    }
    return true;
}

bool BlockFile::Copy(std::uint64_t from, std::uint64_t to, std::uint64_t length) {
    std::vector<unsigned char> buffer(
        static_cast<std::size_t>(std::min<std::uint64_t>(length, 1 << 20)));
    while (length > 0) {
        std::size_t chunk =
            static_cast<std::size_t>(std::min<std::uint64_t>(length, buffer.size()));
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
