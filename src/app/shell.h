// What the shell's windows read from the application: language texts and a few settings.
//
// The application object fills this at start-up; tests fill it directly. Every window looks its
// texts up with Text(id), which gives a single space when no table is set or the table has no
// such text. UI thread only.
#pragma once

#include <QString>
#include <functional>
#include <string>
#include <string_view>

namespace app {

struct ShellSettings {
    std::function<std::string(int id)> text;  // the language table's lookup (UTF-8)
    std::string language_file_name;           // e.g. "EN.xml"; decides the Chinese fonts
    std::string skin_folder;                  // ends with '/'; the message-box icons, the splash
    std::string version;                      // shown on the splash
    std::string operator_password;
    // Writes a new operator password into the configuration file; the setting above is changed
    // by the caller in any case. May be empty (nothing is written).
    std::function<void(const std::string& password)> save_operator_password;
};

ShellSettings& Shell();

// Language text `id` as a QString; " " without a table.
QString Text(int id);

// True when the language file name is "CHS.xml" or "CHT.xml" in any case: the windows then use
// the Chinese font "宋体" instead of Arial.
bool IsChineseLanguage(std::string_view language_file_name);

// The font face the shell's windows draw their own texts in, by the rule above.
QString ShellFontFace();

}  // namespace app
