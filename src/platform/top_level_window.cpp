#include "platform/top_level_window.h"

#include <QApplication>
#include <QPointer>
#include <QWidget>

namespace platform {

QWidget* FindTopLevelWindow(const QString& title) {
    QWidget* modal = QApplication::activeModalWidget();
    if (modal != nullptr && modal->isVisible() && modal->windowTitle() == title) {
        return modal;
    }
    const auto windows = QApplication::topLevelWidgets();
    for (QWidget* w : windows) {
        if (w->isWindow() && w->isVisible() && w->windowTitle() == title) {
            return w;
        }
    }
    return nullptr;
}

bool SendSystemClose(QWidget* window) {
    if (window == nullptr) {
        return false;
    }
    QPointer<QWidget> guard(window);
    window->close();
    return guard.isNull() || !guard->isVisible();
}

bool CloseTopLevelWindow(const QString& title) {
    QWidget* w = FindTopLevelWindow(title);
    if (w == nullptr) {
        return false;
    }
    SendSystemClose(w);
    return true;
}

}  // namespace platform
