// Every language-table identifier the station's windows look up, grouped by use.
//
// The shipped tables (data/Language/*.xml) hold a non-empty text for each of these, and a
// test checks that they do; a window that starts using a new identifier adds it here.
#pragma once

#include <array>

namespace i18n {

// clang-format off
inline constexpr std::array kUsedTextIds = {
    // message box buttons, search view, splash
    7, 8, 10, 11, 13,
    // tab captions
    18, 19, 22, 141, 142, 155, 231, 238, 259,
    // connection fields, buttons, list headings
    23, 24, 25, 26, 27, 28, 29, 31, 32, 33, 34, 35, 36, 57, 113, 131, 294, 295,
    // telnet and maintenance buttons and the test-script box
    153, 154, 156, 157, 159, 222, 281,
    // lens focus lock tab: a lens file too large to send
    316,
    // messages and login results
    37, 38, 40, 41, 42, 43, 44, 46, 47, 48, 49, 55, 61, 62, 63, 90, 91, 122, 123, 133, 135, 140,
    144, 149, 151, 162, 163, 164, 165, 166, 167, 168, 169, 170, 218, 219, 230, 232, 233, 234,
    235, 239, 240, 242, 243, 291,
    // device information items
    136, 137, 138, 139, 143, 145, 171, 184, 185, 220, 221, 227, 264, 282, 283, 284, 285, 286,
    287, 288, 296, 297,
    // fixed list entries
    172, 173, 174, 216, 217, 225, 226, 244, 265, 266, 268, 278, 280, 298, 299, 314, 315,
    // language names 186 to 215
    186, 187, 188, 189, 190, 191, 192, 193, 194, 195, 196, 197, 198, 199, 200, 201, 202, 203,
    204, 205, 206, 207, 208, 209, 210, 211, 212, 213, 214, 215,
    // telnet and maintenance, camera tabs, operator password
    153, 154, 156, 157, 159, 222, 236, 260, 261, 262, 281, 176, 177, 178, 180, 182,
};
// clang-format on

}  // namespace i18n
