// Code-page conversions of the spreadsheet library: the ANSI and OEM code pages and UTF-16.
//
// The library keeps narrow texts in the "ANSI" code page and converts narrow paths through the
// "OEM" code page. Both are process-wide settings; each defaults to the character set of the
// environment's locale (LC_ALL / LC_CTYPE / LANG, e.g. "UTF-8") and can be set to any encoding
// name iconv knows ("WINDOWS-1252", "GBK", ...). Setting them is thread-safe; a conversion uses
// the setting in force when its Converter was made.
//
// Conversions never stop half-way: an invalid byte sequence, or a character the target code page
// has no equivalent for, becomes '?'. They return false only when the code page is unknown.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace Biff {

// Sets the ANSI and OEM code pages; a null or empty name keeps the current one. Returns false,
// changing nothing, when iconv does not know a name.
bool SetCodePages(const char* ansi, const char* oem);
std::string AnsiCodePage();
std::string OemCodePage();

// Converts between one 8-bit code page and UTF-16. Keeps its iconv handles, so one converter
// should be reused for many strings; not thread-safe (make one per thread).
class Converter {
  public:
    explicit Converter(std::string code_page);
    ~Converter();
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;

    bool ok() const;
    bool ToWide(std::string_view in, std::u16string& out);
    bool FromWide(std::u16string_view in, std::string& out);

  private:
    std::string code_page_;
    bool utf8_;
    void* to_wide_;    // iconv_t, opened on first use
    void* from_wide_;  // iconv_t, opened on first use
    bool known_;
};

// Latin-1 (the format's 8-bit string form) and UTF-16.
std::u16string Latin1ToWide(std::string_view in);
// True when every unit fits in 8 bits; then `out` holds the Latin-1 bytes.
bool WideToLatin1(std::u16string_view in, std::string& out);

}  // namespace Biff
