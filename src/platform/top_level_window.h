// Finding a top-level window by its title and closing it as the system menu's Close would.
//
// FindTopLevelWindow looks at the program's visible top-level windows and returns one whose
// title equals `title` exactly (case-sensitive): the active modal window when it matches,
// otherwise the first match; nullptr when there is none. The pointer is not owned and is valid
// until the window is destroyed.
// SendSystemClose delivers the close request at once (synchronously): a dialog then ends as
// if Cancel was pressed; a window may refuse. Returns whether the window is no longer visible
// afterwards. CloseTopLevelWindow does both and returns false when no window has the title.
// UI thread only.
#pragma once

#include <QString>

class QWidget;

namespace platform {

QWidget* FindTopLevelWindow(const QString& title);
bool SendSystemClose(QWidget* window);
bool CloseTopLevelWindow(const QString& title);

}  // namespace platform
