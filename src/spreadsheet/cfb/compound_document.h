// Compound document storage: a small file system of storages and streams inside one file
// (the OLE2 compound file format, as Excel 97-2003 workbooks use it).
//
// Files written here have 512-byte sectors and 64-byte mini sectors (major version 3). Files
// written by other software are read as well, including documents with 4096-byte sectors, FATs
// of more than 109 sectors (DIFAT sectors), and mini FATs spread over the file.
//
// The file is always kept compact and complete: every operation that changes the document
// writes it back before it returns, sectors no longer needed are removed from the file (no free
// sector is left inside it), and the file on disk is then a valid document. Close() therefore has
// nothing to flush.
//
// Nothing in the file is trusted: a document whose structure is damaged (chains that loop, cross
// each other or leave the file, directory links that loop or leave the directory, sizes larger
// than the file holds, a name no path can reach (empty, ".", ".." or holding "\\"), two children of
// one storage whose names compare equal as below, whatever their kinds) fails to open, with
// nothing loaded. Every entry of an open document is thus reached by a path, and no path names
// two entries. Memory use is bounded by the file.
//
// Paths are UTF-16: "\\" separates storage names, a leading "\\" starts at the root storage,
// "." is the current storage and ".." its parent. Names are at most 31 UTF-16 units; names are
// compared as the format defines it (case-insensitively), so "Book" and "BOOK" are one name.
//
// Results: every path operation returns one of the result codes below. Every path operation
// except ChangeStorage leaves the current storage as it was; ChangeStorage keeps the new current
// storage on success and the old one on failure. When writing the file fails (disk full, I/O
// error), the operation returns kFileError and the document is closed, since the file can no
// longer be assumed to match.
//
// Threads: an object may be used from one thread at a time; separate objects are independent.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace cfb {

// Result codes of the path operations.
inline constexpr int kSuccess = 1;
inline constexpr int kNoEntry = -1;        // the path names no entry (empty last component)
inline constexpr int kNoStorage = -2;      // a storage on the path does not exist
inline constexpr int kNoStream = -4;       // the stream does not exist
inline constexpr int kNameTooLong = -5;    // a name is longer than 31 units
inline constexpr int kAlreadyExists = -6;  // an entry of that name already exists in the storage
inline constexpr int kFileError = -7;      // no document is open, or the file could not be written
inline constexpr int kTooLarge = -8;       // the data does not fit into a stream of this document

inline constexpr std::size_t kMaxNameLength = 31;

// One child of a storage, as ListStorage reports it.
struct EntryInfo {
    std::u16string name;
    bool is_storage = false;  // false: a stream
    std::uint64_t size = 0;   // bytes of a stream; 0 for a storage
};

class CompoundDocument {
  public:
    CompoundDocument();
    ~CompoundDocument();
    CompoundDocument(const CompoundDocument&) = delete;
    CompoundDocument& operator=(const CompoundDocument&) = delete;

    // Closes any open document, creates the file at `path` (truncating an existing one) and
    // writes a new, empty document (header, FAT, directory: three 512-byte blocks holding only
    // the Root Entry). False when the file cannot be created or written; nothing is open then.
    bool Create(const std::string& path);

    // Closes any open document and loads the one at `path`. The file is opened for reading and
    // writing, or for reading only when it may not be written (changing operations then return
    // kFileError). False, with nothing loaded, when the file cannot be read or is not a sound
    // compound document (see above: a storage holding two children of one name is not).
    bool Open(const std::string& path);

    // Releases the document and the file. Safe to call when nothing is open.
    void Close();

    bool IsOpen() const;

    // Makes the storage at `path` the current storage. kSuccess, kNoEntry (empty path),
    // kNoStorage, or kFileError when nothing is open.
    int ChangeStorage(std::u16string_view path);

    // Makes an empty storage or stream at `path`. Missing storages on the path are made first.
    // kSuccess, kNoEntry, kNameTooLong, kAlreadyExists, kFileError.
    int MakeStorage(std::u16string_view path);
    int MakeStream(std::u16string_view path);

    // The size in bytes of the stream at `path`; the path "\\" gives the Root Entry's size (the
    // mini stream). kSuccess, kNoEntry, kNoStorage, kNoStream, kFileError.
    int StreamSize(std::u16string_view path, std::uint64_t& size);

    // Replaces `data` with the whole content of the stream at `path`. kSuccess, kNoEntry,
    // kNoStorage, kNoStream, kFileError (the file could not be read). `data` is left empty on
    // failure.
    int ReadStream(std::u16string_view path, std::vector<std::uint8_t>& data);

    // Replaces the whole content of the existing stream at `path` with `size` bytes at `data`
    // (`data` may be null when `size` is 0). kSuccess, kNoEntry, kNoStorage, kNoStream,
    // kTooLarge (more than 4 GiB - 1 bytes), kFileError.
    int WriteStream(std::u16string_view path, const void* data, std::size_t size);

    // The children of the storage at `path`, in directory order. kSuccess, kNoEntry, kNoStorage,
    // kFileError.
    int ListStorage(std::u16string_view path, std::vector<EntryInfo>& entries);

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace cfb
