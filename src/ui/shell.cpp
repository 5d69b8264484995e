#include "ui/shell.h"

#include <cctype>

namespace app {

ShellState& Shell() {
    static ShellState state;
    return state;
}

QString Text(int id) {
    const auto& lookup = Shell().text;
    if (!lookup) {
        return QStringLiteral(" ");
    }
    return QString::fromStdString(lookup(id));
}

bool IsChineseLanguage(std::string_view name) {
    auto equals_no_case = [name](std::string_view other) {
        if (name.size() != other.size()) {
            return false;
        }
        for (size_t i = 0; i < name.size(); ++i) {
            if (std::tolower(static_cast<unsigned char>(name[i])) !=
                std::tolower(static_cast<unsigned char>(other[i]))) {
                return false;
            }
        }
        return true;
    };
    return equals_no_case("CHS.xml") || equals_no_case("CHT.xml");
}

QString ShellFontFace() {
    return IsChineseLanguage(Settings().language_file) ? QStringLiteral("宋体")
                                                       : QStringLiteral("Arial");
}

}  // namespace app
