// ZQTalvane: the provisioning station.
#include <QApplication>

#include "app/zqtalvane_app.h"

int main(int argc, char** argv) {
    QApplication qt(argc, argv);
    QApplication::setApplicationName(QStringLiteral("ZQTalvane"));
    CZQTalvaneApp app;
    return app.Run(argc, argv);
}
