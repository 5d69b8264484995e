// The simulator's JSON: the line file that lists the units, faults, and a unit's state as the
// control interface shows it. README.md beside this file lists every key.
//
// What a caller may rely on: parsing never throws; on failure it returns false with a message
// naming the line and key, and leaves the output unchanged.
#pragma once

#include "unit.h"

#include <json/value.h>

#include <string>
#include <vector>

namespace unitsim {

// Parses a line file: one JSON object per line; blank lines and lines starting with '#' are
// skipped. A line with "count": N stands for N units at consecutive addresses (and MAC addresses).
// Addresses must be loopback (127.0.0.0/8) and distinct.
bool ParseUnitLines(const std::string& text, std::vector<UnitConfig>& units, std::string& error);

// One unit's object (without "count" expansion).
bool ParseUnit(const Json::Value& object, UnitConfig& unit, std::string& error);

// A fault object: {"fail_query", "fail_write", "read_back_differs", "drop", "no_stream",
// "garbage", "truncate", "huge_picture": bool, "delay_ms", "skip", "count", "stop_after",
// "drop_after": int}.
bool ParseFault(const Json::Value& object, Fault& fault, std::string& error);

// A lens calibration object: {"lens_calibration": bool, "calibration_ms", "calibration_result",
// "alarm_length": int}; members left out keep their value in `lens`.
bool ParseLensCalibration(const Json::Value& object, LensCalibration& lens, std::string& error);

// The state as JSON: named fields, every record as hex under "records", the last accepted write
// of each code as hex under "written", and the request log under "requests".
Json::Value StateToJson(const UnitState& state);

// Compact one-line JSON text.
std::string ToLine(const Json::Value& value);

}  // namespace unitsim
