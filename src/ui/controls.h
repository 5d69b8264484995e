// Dialog-template geometry and control ids for the Qt windows.
//
// Window layouts are given in dialog units, as in the original templates; DialogRect converts
// them with the base units of the template font (8-point, 6 × 13 pixels per 4 × 8 units).
// A control's objectName is its decimal control id, so tabs and tests find controls by id.
#pragma once

#include <QRect>
#include <QString>
#include <QWidget>

namespace app {

inline int DialogX(int units) {
    return (units * 6 + 2) / 4;
}
inline int DialogY(int units) {
    return (units * 13 + 4) / 8;
}
inline QRect DialogRect(int x, int y, int width, int height) {
    return QRect(DialogX(x), DialogY(y), DialogX(width), DialogY(height));
}

// Names the widget by its control id and places it at template position (dialog units).
inline void PlaceControl(QWidget* control, int id, int x, int y, int width, int height) {
    if (id >= 0) {
        control->setObjectName(QString::number(id));
    }
    control->setGeometry(DialogRect(x, y, width, height));
}

// The control with `id` under `parent`, or nullptr.
template <typename T = QWidget>
T* FindControl(const QObject* parent, int id) {
    return parent->findChild<T*>(QString::number(id));
}

}  // namespace app
