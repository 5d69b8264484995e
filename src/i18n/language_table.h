// Language tables: every text the station shows is looked up by number.
//
// A table file is an XML document whose root (any name) holds `string` elements, one text
// each; a text's identifier is its 0-based position among them (other children are ignored;
// an empty element is an empty text that still takes its position).
//
// What callers may rely on: Text never fails; it gives a single space " " for an identifier
// that is negative or not below the number of texts, and for every identifier while the table
// is empty (file missing, unreadable or damaged: no message is shown). The process-wide table
// is loaded once at start-up and only read afterwards, so Text may be called from any thread
// after that.
#pragma once

#include <string>
#include <vector>

class CLanguageTable {
  public:
    // Replaces the texts by those of `path`. False (table empty) when the path is not a file or
    // the document cannot be read or is damaged.
    bool Load(const std::string& path);
    const std::string& Text(int id) const;
    size_t Size() const { return texts_.size(); }

  private:
    std::vector<std::string> texts_;
};

namespace i18n {

// The station's table.
CLanguageTable& Table();

// Loads program_folder + "Language/" + language_file into the station's table.
bool LoadLanguage(const std::string& program_folder, const std::string& language_file);

// The station's text for `id` (see Text above).
inline const std::string& Text(int id) {
    return Table().Text(id);
}

}  // namespace i18n
