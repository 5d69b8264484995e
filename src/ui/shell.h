// What the shell's windows share with the application object: the settings, the language
// texts, the main window's handle, and the save of the operator password.
//
// The application object fills Shell() at start-up; tests fill it directly. Every window looks
// its texts up with Text(id), which gives a single space when no table is set or the table has
// no such text. UI thread only.
#pragma once

#include <QString>
#include <functional>
#include <string>
#include <string_view>

#include "config/app_settings.h"
#include "config/system_config.h"
#include "platform/window_message.h"

namespace app {

struct ShellState {
    CAppSettings settings;
    std::function<std::string(int id)> text;  // the language table's lookup (UTF-8)
    // Writes settings.user_password into the configuration file (config::SaveUserPassword); may
    // be empty (nothing written).
    std::function<config::SaveResult(const CAppSettings& settings)> save_user_password;
    platform::WindowHandle main_window = 0;  // set once the main window has built its tabs
};

ShellState& Shell();
inline CAppSettings& Settings() {
    return Shell().settings;
}

// Language text `id` as a QString; " " without a table.
QString Text(int id);

// True when the language file name is "CHS.xml" or "CHT.xml" in any case: the windows then use
// the Chinese font "宋体" instead of Arial.
bool IsChineseLanguage(std::string_view language_file_name);

// The font face the shell's windows draw their own texts in, by the rule above.
QString ShellFontFace();

}  // namespace app
