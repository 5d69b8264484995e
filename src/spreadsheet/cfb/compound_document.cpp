// Placeholder until the storage layer lands: every operation fails.
#include "spreadsheet/cfb/compound_document.h"

namespace cfb {

struct CompoundDocument::Impl {};

CompoundDocument::CompoundDocument() = default;
CompoundDocument::~CompoundDocument() = default;
bool CompoundDocument::Create(const std::string&) { return false; }
bool CompoundDocument::Open(const std::string&) { return false; }
void CompoundDocument::Close() {}
bool CompoundDocument::IsOpen() const { return false; }
int CompoundDocument::ChangeStorage(std::u16string_view) { return kFileError; }
int CompoundDocument::MakeStorage(std::u16string_view) { return kFileError; }
int CompoundDocument::MakeStream(std::u16string_view) { return kFileError; }
int CompoundDocument::StreamSize(std::u16string_view, std::uint64_t&) { return kFileError; }
int CompoundDocument::ReadStream(std::u16string_view, std::vector<std::uint8_t>&) {
    return kFileError;
}
int CompoundDocument::WriteStream(std::u16string_view, const void*, std::size_t) {
    return kFileError;
}
int CompoundDocument::ListStorage(std::u16string_view, std::vector<EntryInfo>&) {
    return kFileError;
}

}  // namespace cfb
