// What the fisheye centre tab does with a camera's circle, without a window: reading the circle
// the camera keeps (parameter 1015) when its preview has started, writing the pane's circle into
// it (Set) or a zero circle (Clear), each read back and compared, and the texts of the fields
// that show the pane's circle (1006 to 1008) with the first centre the tab saw.
//
// What a caller may rely on:
// - The fisheye block is queried into a zero-filled 80-byte block whose first word stays 0;
//   only centre x, centre y and radius (bytes 8, 12, 16) are changed before a write, every other
//   byte goes back as the camera gave it.
// - Set and Clear each show exactly one box through the prompter: Set 232 (success) or 233
//   (error), Clear 234 (success) or 235 (error). A camera that took the write but reads back
//   something else is an error.
// - Results that name a circle (std::optional) are what the tab hands to the pane's set circle
//   operation; nullopt means the pane is left alone.
// User-interface thread only (the calls block until the camera answers or the library gives up);
// the prompter must outlive the object.
#pragma once

#include <optional>
#include <string>

#include "device/ZQNet.h"
#include "tabs/tab_prompter.h"

namespace camera {

// A circle in picture pixels.
struct Circle {
    int x = 0;
    int y = 0;
    int radius = 0;
    bool operator==(const Circle&) const = default;
};

// The camera's fisheye block (query form, zero-filled first, first word 0).
bool QueryFisheyeBlock(ZQNET_HANDLE connection, ZQNetFisheyeRecord& block);

// The leading integer of a typed text ("120px" 120, "-5" -5, "abc" 0), clamped to the int range;
// nullopt for an empty text.
std::optional<int> LeadingInteger(const std::string& text);

class CFisheyeOperation {
  public:
    // Boxes (language ids).
    static constexpr int kWrittenText = 232;
    static constexpr int kWriteFailedText = 233;
    static constexpr int kClearedText = 234;
    static constexpr int kClearFailedText = 235;

    // What the three read-only fields show after a pane notification.
    struct FieldTexts {
        std::string x;       // field 1006: "(display x, picture x)"
        std::string y;       // field 1007: "(display y, picture y)"
        std::string radius;  // field 1008: "(half side, picture radius)"
    };

    explicit CFisheyeOperation(tabs::TabPrompter& prompter) : prompter_(prompter) {}

    // Status 202: the circle the camera keeps; nullopt when it cannot be read (the pane then
    // keeps its own circle).
    std::optional<Circle> ReadCameraCircle(ZQNET_HANDLE connection);

    // Set: writes `circle` into the camera's block and reads it back; shows 232 when the camera
    // holds exactly that circle, else 233. `previewing` tells whether the tab has a preview and a
    // playback instance running; without them, and for a circle whose radius is not positive (the
    // pane has no circle before its first picture), nothing is written (233). Returns `circle` for
    // the pane when the write and the read-back went through (equal or not).
    std::optional<Circle> WriteCircle(ZQNET_HANDLE connection, bool previewing, Circle circle);

    // Clear: writes a zero circle and reads it back; 234 when the camera holds zeros, else 235
    // (also without a connection). Returns the zero circle for the pane when the write and the
    // read-back went through.
    std::optional<Circle> ClearCircle(ZQNET_HANDLE connection);

    // Message 1126: the fields' texts for the pane's display circle (window pixels, the picture's
    // offsets taken off) and its circle (picture pixels). The first call records the circle's
    // centre as the first centre; later calls leave it.
    FieldTexts OnCircleChanged(const Circle& display, const Circle& picture);

    // Field 1144 changed: the circle for the pane, centred on the first centre (0, 0 while none
    // is recorded) with the typed radius; nullopt for an empty text.
    std::optional<Circle> RadiusTyped(const std::string& text) const;

    bool HasFirstCentre() const { return has_first_centre_; }

  private:
    // Writes x, y, radius into the camera's block, then reads it back into `read_back`.
    // False when the query, the write or the read-back failed.
    static bool WriteAndReadBack(ZQNET_HANDLE connection, const Circle& circle, Circle& read_back);

    tabs::TabPrompter& prompter_;
    int first_x_ = 0;
    int first_y_ = 0;
    bool has_first_centre_ = false;
};

}  // namespace camera
