// CIpAddressEdit: the IPv4 address field of the tabs (control 1000).
//
// Holds four numbers 0..255. SetAddressText takes a dotted text; a text that is not a dotted
// IPv4 address (empty included) gives 0.0.0.0. AddressText always answers "%d.%d.%d.%d": what
// the operator typed, with parts that are missing or not numbers read as 0 and parts above 255
// clamped. The operator can type only digits and dots. UI thread only.
#pragma once

#include <QLineEdit>
#include <array>
#include <cstdint>
#include <string>

class CIpAddressEdit : public QLineEdit {
    Q_OBJECT
  public:
    explicit CIpAddressEdit(QWidget* parent = nullptr);

    void SetAddressText(const std::string& text);
    std::string AddressText() const;
    std::array<uint8_t, 4> Address() const;

    // The four parts of a strict dotted address, or false.
    static bool ParseDotted(const std::string& text, std::array<uint8_t, 4>& out);
};
