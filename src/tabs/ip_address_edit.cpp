#include "tabs/ip_address_edit.h"

#include <QRegularExpressionValidator>

CIpAddressEdit::CIpAddressEdit(QWidget* parent) : QLineEdit(parent) {
    setValidator(new QRegularExpressionValidator(
        QRegularExpression(QStringLiteral("^(\\d{1,3}(\\.\\d{0,3}){0,3})?$")), this));
    setText(QStringLiteral("0.0.0.0"));
}

bool CIpAddressEdit::ParseDotted(const std::string& text, std::array<uint8_t, 4>& out) {
    std::array<uint8_t, 4> parts{};
    size_t pos = 0;
    for (int i = 0; i < 4; ++i) {
        size_t digits = 0;
        int value = 0;
        while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9' && digits < 4) {
            value = value * 10 + (text[pos] - '0');
            ++pos;
            ++digits;
        }
        if (digits == 0 || digits > 3 || value > 255) {
            return false;
        }
        parts[i] = static_cast<uint8_t>(value);
        if (i < 3) {
            if (pos >= text.size() || text[pos] != '.') {
                return false;
            }
            ++pos;
        }
    }
    if (pos != text.size()) {
        return false;
    }
    out = parts;
    return true;
}

void CIpAddressEdit::SetAddressText(const std::string& text) {
    std::array<uint8_t, 4> parts{};
    if (!ParseDotted(text, parts)) {
        parts = {0, 0, 0, 0};
    }
    setText(QStringLiteral("%1.%2.%3.%4").arg(parts[0]).arg(parts[1]).arg(parts[2]).arg(parts[3]));
}

std::array<uint8_t, 4> CIpAddressEdit::Address() const {
    std::array<uint8_t, 4> parts{};
    const QStringList fields = text().split(QLatin1Char('.'));
    for (int i = 0; i < 4 && i < fields.size(); ++i) {
        bool ok = false;
        const int v = fields[i].toInt(&ok);
        parts[i] = ok ? static_cast<uint8_t>(std::min(std::max(v, 0), 255)) : 0;
    }
    return parts;
}

std::string CIpAddressEdit::AddressText() const {
    const auto p = Address();
    return std::to_string(p[0]) + "." + std::to_string(p[1]) + "." + std::to_string(p[2]) + "." +
           std::to_string(p[3]);
}
