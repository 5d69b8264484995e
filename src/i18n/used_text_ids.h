// Language-table identifiers that the windows show only on the way of an operation (a message
// chosen by a rule, a login or server result, a result row), so that neither check of the
// shipped tables finds them on its own: window_text_ids_test.cpp finds the identifiers written
// in the windows' code (Text(27), Box(62, ...), kCaptionId = 155, k...Text = 316), and
// tests/gui/window_texts_test.cpp every identifier the windows look up while they are built and
// shown. Both, and language_table_test.cpp for this list, check that each shipped table holds a
// text for them.
#pragma once

#include <array>

namespace i18n {

// clang-format off
inline constexpr std::array kUsedTextIds = {
    // login results
    40, 41, 43, 44,
    // device information rules and the recorded serial number question
    122, 123, 135, 140, 144, 149, 151,
    // identity server results
    162, 163, 164, 165, 166, 167, 168, 169, 170,
    // fisheye and lens calibration results
    232, 233, 234, 235, 239, 240, 291,
    // a unit that may carry an identity without its record, a write taken after all
    317, 318,
};
// clang-format on

}  // namespace i18n
