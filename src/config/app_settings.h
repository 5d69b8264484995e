// The application settings: what the station reads from its folders and Systemcfg.xml at
// start-up and what the windows share while it runs.
//
// One instance lives in the application object for the whole run; windows read and change it
// from the user-interface thread only. Plain data: every member has its start value here.
// (The window handle of the main window and the graphics token are kept by the application
// object itself, beside this, because they are UI types.)
#pragma once

#include <array>
#include <cstdint>
#include <string>

// The device-information option flags (the first 22) and the two focal-length flags, in the
// order they stand in Systemcfg.xml.
enum OptionFlag : int {
    kMainBoardName,
    kProductType,
    kDeviceType,
    kDeviceName,
    kFunctionCode,
    kCustomType,
    kKeyID,
    kBoardID,
    kHobDeviceType,
    kFourDisk,
    kLanguageConfig,
    kLanguage,
    kSerialNum,
    kProductCode,
    kFormat,
    kAngleRotation,
    kAlarmOutputNum,
    kAlarmInputNum,
    kAudioNum,
    kPoePower,
    kHddGroup,
    kEsataenable,
    kMinFoaclLength,
    kMaxFoaclLength,
    kOptionFlagCount
};
inline constexpr int kDeviceInfoFlagCount = kMinFoaclLength;  // the 22 device-information flags

struct CAppSettings {
    std::string program_folder;      // folder of the executable, ending in '/'
    std::string config_folder;       // per-user "Talvane Config/" folder, ending in '/'
    std::string skin_folder;         // program folder + "Skin_normal/"
    std::string version;             // `Version` of Systemcfg.xml, shown on the splash
    std::string language_file;       // file name of the chosen language table, e.g. "EN.xml"
    bool id_server_enabled = false;  // address non-empty and not "127.0.0.1"
    std::string id_server_address;
    uint16_t id_server_port = 0;
    int id_server_timeout_ms = 15000;  // an identity report's wait for the reply (tests shorten it)
    // A tab's wait for a login result before it stops the connection and reports text 44: twice
    // the device library's own login time-out, which reports every connection itself (tests
    // shorten it).
    int login_wait_ms = 10000;
    std::string user_password;
    bool user_password_enabled = true;
    std::string device_password;  // the device password last confirmed in any tab
    std::array<bool, kOptionFlagCount> option_flags = MakeAllTrue();

  private:
    static constexpr std::array<bool, kOptionFlagCount> MakeAllTrue() {
        std::array<bool, kOptionFlagCount> a{};
        for (bool& b : a)
            b = true;
        return a;
    }
};
