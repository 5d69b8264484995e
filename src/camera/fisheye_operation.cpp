#include "camera/fisheye_operation.h"

#include <cctype>
#include <climits>
#include <cstdio>

#include "device/param_request.h"

namespace camera {

bool QueryFisheyeBlock(ZQNET_HANDLE connection, ZQNetFisheyeRecord& block) {
    block = ZQNetFisheyeRecord{};  // the first word stays 0: the camera does not look at it
    return device::QueryParam(connection, ZQNET_PARAM_FISHEYE, &block, sizeof block);
}

std::optional<int> LeadingInteger(const std::string& text) {
    if (text.empty()) {
        return std::nullopt;
    }
    size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) {
        ++i;
    }
    bool negative = false;
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) {
        negative = text[i] == '-';
        ++i;
    }
    long long value = 0;
    for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > static_cast<long long>(INT_MAX) + 1) {
            value = static_cast<long long>(INT_MAX) + 1;  // saturate: the rest cannot matter
        }
    }
    if (negative) {
        value = -value;
    }
    if (value > INT_MAX) {
        value = INT_MAX;
    }
    return static_cast<int>(value);
}

std::optional<Circle> CFisheyeOperation::ReadCameraCircle(ZQNET_HANDLE connection) {
    ZQNetFisheyeRecord block;
    if (!QueryFisheyeBlock(connection, block)) {
        return std::nullopt;
    }
    return Circle{block.centerX, block.centerY, block.radius};
}

bool CFisheyeOperation::WriteAndReadBack(ZQNET_HANDLE connection, const Circle& circle,
                                         Circle& read_back) {
    ZQNetFisheyeRecord block;
    if (!QueryFisheyeBlock(connection, block)) {
        return false;
    }
    block.centerX = circle.x;
    block.centerY = circle.y;
    block.radius = circle.radius;
    if (!device::WriteParam(connection, ZQNET_PARAM_FISHEYE, &block, sizeof block) ||
        !QueryFisheyeBlock(connection, block)) {
        return false;
    }
    read_back = Circle{block.centerX, block.centerY, block.radius};
    return true;
}

std::optional<Circle> CFisheyeOperation::WriteCircle(ZQNET_HANDLE connection, bool previewing,
                                                     Circle circle) {
    std::optional<Circle> for_pane;
    bool ok = false;
    Circle read_back;
    // A circle without a radius is no circle: the pane has none yet (no picture), and writing
    // it would wipe the camera's circle while saying it was set. Clear is for that.
    if (connection != 0 && previewing && circle.radius > 0 &&
        WriteAndReadBack(connection, circle, read_back)) {
        ok = read_back == circle;
        for_pane = circle;
    }
    prompter_.Box(ok ? kWrittenText : kWriteFailedText, ok ? tabs::kSuccessBox : tabs::kErrorBox);
    return for_pane;
}

std::optional<Circle> CFisheyeOperation::ClearCircle(ZQNET_HANDLE connection) {
    std::optional<Circle> for_pane;
    bool ok = false;
    Circle read_back;
    if (connection != 0 && WriteAndReadBack(connection, Circle{}, read_back)) {
        ok = read_back == Circle{};
        for_pane = Circle{};
    }
    prompter_.Box(ok ? kClearedText : kClearFailedText, ok ? tabs::kSuccessBox : tabs::kErrorBox);
    return for_pane;
}

CFisheyeOperation::FieldTexts CFisheyeOperation::OnCircleChanged(const Circle& display,
                                                                 const Circle& picture) {
    if (!has_first_centre_) {
        first_x_ = picture.x;
        first_y_ = picture.y;
        has_first_centre_ = true;
    }
    auto pair = [](int window_value, int picture_value) {
        char text[32];
        std::snprintf(text, sizeof text, "(%d, %d)", window_value, picture_value);
        return std::string(text);
    };
    return {pair(display.x, picture.x), pair(display.y, picture.y),
            pair(display.radius, picture.radius)};
}

std::optional<Circle> CFisheyeOperation::RadiusTyped(const std::string& text) const {
    const std::optional<int> radius = LeadingInteger(text);
    if (!radius) {
        return std::nullopt;
    }
    return Circle{first_x_, first_y_, *radius};
}

}  // namespace camera
