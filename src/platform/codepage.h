// Code-page conversions between the program's text encoding, UTF-16 and named encodings.
//
// The program keeps its texts in the workstation's 8-bit code page, which on this platform is
// UTF-8 (kProgramEncoding). Any encoding name iconv knows can be used ("UTF-8", "UTF-16LE",
// "UTF-16BE", "ISO-8859-1", "WINDOWS-1252", "GB2312", "GBK", "GB18030", "BIG5", ...; names are
// not case-sensitive).
//
// Conversions never fail half-way: a byte sequence that is invalid in the source encoding, or a
// character the target encoding has no equivalent for, is replaced by '?' (in the target
// encoding) and counted in *lost, so callers can log a loss. They return false only when an
// encoding name is unknown, leaving `out` empty. All functions are thread-safe.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace platform {

inline constexpr const char* kProgramEncoding = "UTF-8";

// True when iconv knows the encoding name.
bool IsKnownEncoding(std::string_view encoding);

// True when the name is the program's own encoding ("UTF-8" or "UTF8" in any case).
bool IsProgramEncoding(std::string_view encoding);

// Converts `in` from encoding `from` to encoding `to`. Returns false for an unknown encoding.
bool Convert(std::string_view in, std::string_view from, std::string_view to, std::string& out,
             size_t* lost = nullptr);

// The program's encoding to and from a named encoding.
bool FromEncoding(std::string_view in, std::string_view encoding, std::string& out,
                  size_t* lost = nullptr);
bool ToEncoding(std::string_view in, std::string_view encoding, std::string& out,
                size_t* lost = nullptr);

// UTF-8 and UTF-16 in native byte order. Invalid input becomes '?' and is counted.
std::u16string Utf8ToUtf16(std::string_view in, size_t* lost = nullptr);
std::string Utf16ToUtf8(std::u16string_view in, size_t* lost = nullptr);

// Appends the UTF-8 form of a code point; false (nothing appended) for surrogates, 0 and values
// beyond U+10FFFF.
bool AppendUtf8(char32_t code_point, std::string& out);

// Length of the valid UTF-8 sequence starting at text[pos], or 0 when none starts there
// (overlong forms, surrogates and values beyond U+10FFFF are invalid).
size_t Utf8SequenceLength(std::string_view text, size_t pos);

// True when every byte of 128 or more belongs to a valid UTF-8 sequence.
bool IsValidUtf8(std::string_view text);

}  // namespace platform
