#include "skin/skin.h"

#include <QApplication>
#include <QFile>
#include <QMetaEnum>
#include <optional>

namespace skin {
namespace {

std::optional<QString> ReadText(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return std::nullopt;
    }
    return QString::fromUtf8(file.readAll());
}

std::optional<QPalette::ColorRole> RoleByName(const QString& name) {
    const QMetaEnum roles = QMetaEnum::fromType<QPalette::ColorRole>();
    bool ok = false;
    const int value = roles.keyToValue(name.toLatin1().constData(), &ok);
    if (!ok || value < 0 || value >= QPalette::NColorRoles || name == QLatin1String("NoRole") ||
        name == QLatin1String("NColorRoles")) {
        return std::nullopt;
    }
    return static_cast<QPalette::ColorRole>(value);
}

}  // namespace

int ParseColourSet(const QString& text, QPalette& palette) {
    int skipped = 0;
    bool in_palette = false;
    const QStringList lines = text.split(QLatin1Char('\n'));
    for (QString line : lines) {
        line = line.trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char(';')) ||
            line.startsWith(QLatin1Char('#'))) {
            continue;
        }
        if (line.startsWith(QLatin1Char('['))) {
            in_palette = line.compare(QLatin1String("[Palette]"), Qt::CaseInsensitive) == 0;
            continue;
        }
        if (!in_palette) {
            continue;
        }
        const qsizetype eq = line.indexOf(QLatin1Char('='));
        if (eq <= 0) {
            ++skipped;
            continue;
        }
        QString key = line.left(eq).trimmed();
        QString value = line.mid(eq + 1);
        const qsizetype comment = value.indexOf(QLatin1Char(';'));
        if (comment >= 0) {
            value.truncate(comment);
        }
        value = value.trimmed();

        std::optional<QPalette::ColorGroup> group;
        const qsizetype dot = key.indexOf(QLatin1Char('.'));
        if (dot >= 0) {
            const QString g = key.left(dot);
            key = key.mid(dot + 1);
            if (g == QLatin1String("Active")) {
                group = QPalette::Active;
            } else if (g == QLatin1String("Inactive")) {
                group = QPalette::Inactive;
            } else if (g == QLatin1String("Disabled")) {
                group = QPalette::Disabled;
            } else {
                ++skipped;
                continue;
            }
        }
        const auto role = RoleByName(key);
        const QColor color(value);
        if (!role || !color.isValid()) {
            ++skipped;
            continue;
        }
        if (group) {
            palette.setColor(*group, *role, color);
        } else {
            palette.setColor(*role, color);
        }
    }
    return skipped;
}

bool LoadSkin(const QString& theme_path, const QString& colour_set_path) {
    const auto theme = ReadText(theme_path);
    if (!theme) {
        return false;
    }
    if (const auto colours = ReadText(colour_set_path)) {
        QPalette palette = QApplication::palette();
        ParseColourSet(*colours, palette);
        QApplication::setPalette(palette);
    }
    qApp->setStyleSheet(*theme);
    return true;
}

}  // namespace skin
