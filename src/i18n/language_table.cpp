#include "i18n/language_table.h"

#include "platform/folders.h"
#include "xml/xml_document.h"

bool CLanguageTable::Load(const std::string& path) {
    texts_.clear();
    if (!platform::IsFile(path))
        return false;
    CXmlDocument doc;
    if (!doc.Load(path) || !doc.FindElement() || !doc.IntoElement())
        return false;
    std::vector<std::string> texts;
    while (doc.FindElement("string"))
        texts.push_back(doc.GetText());
    texts_ = std::move(texts);
    return true;
}

const std::string& CLanguageTable::Text(int id) const {
    static const std::string kSpace = " ";
    if (id < 0 || static_cast<size_t>(id) >= texts_.size())
        return kSpace;
    return texts_[static_cast<size_t>(id)];
}

namespace i18n {

CLanguageTable& Table() {
    static CLanguageTable table;
    return table;
}

bool LoadLanguage(const std::string& program_folder, const std::string& language_file) {
    return Table().Load(program_folder + "Language/" + language_file);
}

}  // namespace i18n
