// Positioned reads and writes on one file, in bytes, for the compound document layer.
//
// Reads past the end of the file deliver zero bytes (a document's last sector may be cut short).
// Every function returns false on an I/O failure and true otherwise; nothing throws. Not
// thread-safe; the object owns its file descriptor and closes it on Close() or destruction.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace cfb {

class BlockFile {
  public:
    BlockFile() = default;
    ~BlockFile();
    BlockFile(const BlockFile&) = delete;
    BlockFile& operator=(const BlockFile&) = delete;

    // Creates (truncates) the file for reading and writing.
    bool Create(const std::string& path);
    // Opens an existing file for reading and writing, or for reading only when writing is not
    // permitted (see writable()).
    bool Open(const std::string& path);
    void Close();

    bool is_open() const { return fd_ >= 0; }
    bool writable() const { return writable_; }
    std::uint64_t size() const { return size_; }

    bool Read(std::uint64_t offset, void* buffer, std::size_t length);
    bool Write(std::uint64_t offset, const void* buffer, std::size_t length);
    // One write of many pieces: pieces that follow each other in the file go out together.
    // Pieces must not overlap; they are sorted by offset here.
    struct Piece {
        std::uint64_t offset;
        const void* data;
        std::size_t length;
    };
    bool WriteGather(std::vector<Piece>& pieces);
    // Copies `length` bytes from `from` to `to`; the two ranges must not overlap.
    bool Copy(std::uint64_t from, std::uint64_t to, std::uint64_t length);
    bool Truncate(std::uint64_t size);

  private:
    int fd_ = -1;
    bool writable_ = false;
    std::uint64_t size_ = 0;
};

}  // namespace cfb
