// The window theme: the look every window of the program is drawn in.
//
// A theme is two text files in the program folder:
// - the theme file ("Vista.theme"): a Qt style sheet, applied to the whole application, so every
//   window and control created before or after takes it;
// - the colour set ("NormalBlack.ini"): the palette the style sheet and the controls draw with,
//   in INI form, one colour role a line:
//       [Palette]
//       Window = #f0f0f0          ; any colour Qt reads: #rgb, #rrggbb, #aarrggbb, a name
//       Disabled.ButtonText = #838383
//   A key is a QPalette role name (Window, WindowText, Base, AlternateBase, ToolTipBase,
//   ToolTipText, PlaceholderText, Text, Button, ButtonText, BrightText, Light, Midlight, Dark,
//   Mid, Shadow, Highlight, HighlightedText, Link, LinkVisited), optionally prefixed with a
//   colour group (Active., Inactive., Disabled.); without a prefix it sets every group.
//   Lines starting with ';' or '#' and blank lines are comments; other sections are ignored.
//   A line with an unknown role or an unreadable colour is skipped and counted.
// The style sheet leaves the text colour of static texts to the palette, so windows that colour
// their own texts (the message box, the coloured static) keep their colours.
//
// LoadSkin never stops the program: a missing or unreadable theme file leaves the default look
// (nothing is applied, false); a missing colour set applies the theme with the default palette.
// UI thread only, after the QApplication exists.
#pragma once

#include <QPalette>
#include <QString>

namespace skin {

// Reads both files and applies them to the application. True when the theme was applied.
bool LoadSkin(const QString& theme_path, const QString& colour_set_path);

// Parses colour-set text into `palette` (starting from what it holds); returns the number of
// lines that were skipped as unreadable.
int ParseColourSet(const QString& text, QPalette& palette);

}  // namespace skin
