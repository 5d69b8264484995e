// ZQNet: the device network library as the station calls it.
//
// The station includes only this header and links libZQNet.so; any library that honours this
// calling protocol can stand in for ours. All functions have C linkage.
//
// What a caller may rely on:
// - Results are 32-bit; nonzero means success unless a function says otherwise.
// - A connection handle is a 32-bit value; 0 means "no connection".
// - Every started connection reports exactly one login outcome (a ZQNET_STATUS_* code), through
//   the status callback of its connection record or as its notification message, also when the
//   unit never answers (ZQNET_STATUS_TIMEOUT). A lost connection after a successful login is
//   reported once more, with ZQNET_STATUS_CONNECTION_LOST.
// - Callbacks run on the library's own threads. They must return quickly and must not call back
//   into the library for the same connection.
// - Synchronous calls (queries, writes, commands) block the calling thread until the unit answers,
//   the library's time-out passes or the connection is lost; they then fail cleanly.
// - Buffers stay owned by the caller. The library never writes more than the size the caller
//   gives (or the fixed size of the record a code names), whatever a unit sends.
// - Records exchanged with units are plain structures, little-endian, zero-filled before use.
//   Request structures carry native pointers and keep their field order with native pointer
//   width; their sizes below are those of this platform.
#pragma once

#include <cstddef>
#include <cstdint>

// ---------------------------------------------------------------------------------------------
// Basic types

typedef int32_t ZQNET_BOOL;     // nonzero is success
typedef uint32_t ZQNET_HANDLE;  // connection handle; 0 is "none"
typedef uintptr_t ZQNET_HWND;   // a window handle of the station's platform layer (0: none)

// ---------------------------------------------------------------------------------------------
// Status codes (status callback argument, or wParam of the notification message)

enum : int32_t {
    ZQNET_STATUS_FAILED = 2,          // failed in the library itself (bad record, not initialised)
    ZQNET_STATUS_LOGGED_IN = 101,     // logged in; the connection is ready for requests
    ZQNET_STATUS_UNKNOWN_USER = 103,  // the unit knows no such user
    ZQNET_STATUS_WRONG_PASSWORD = 104,  // the password does not match
    ZQNET_STATUS_REFUSED = 105,         // the unit refused the TCP connection (nothing listens)
    ZQNET_STATUS_UNREACHABLE = 106,     // the address cannot be reached or is not a valid address
    ZQNET_STATUS_TIMEOUT = 107,         // no login answer within the library's login time-out
    ZQNET_STATUS_TOO_MANY_SESSIONS = 108,  // the unit serves as many sessions as it can
    ZQNET_STATUS_LOCKED_OUT = 109,         // the user is locked out after repeated wrong passwords
    ZQNET_STATUS_PROTOCOL_ERROR = 110,     // the unit does not speak our protocol or version
    ZQNET_STATUS_TLS_FAILED = 111,         // the TLS handshake failed (encryption 1)
    ZQNET_STATUS_CLOSED = 112,             // the unit closed the connection during the login
    ZQNET_STATUS_CONNECTION_LOST = 150,    // an established connection was lost
    ZQNET_STATUS_PREVIEW_STARTED = 202,  // preview's notification window only: its first frame came
};

// ---------------------------------------------------------------------------------------------
// Codes

enum : int32_t {
    // Parameter codes (ZQNetQueryParamEx, ZQNetSetParamEx, ZQNetQueryTemporaryParam, ZQNetSetParam)
    ZQNET_PARAM_MAC_QUERY = 400,  // MAC record (ZQNetMacRecord), temporary query
    ZQNET_PARAM_MAC_SET = 401,    // MAC record, written with the MAC write form
    ZQNET_PARAM_SYSTEM = 524,     // system parameter record (ZQNetSysParamRecord): query, short set
    ZQNET_PARAM_KEY = 553,        // key record (ZQNetKeyRecord): query, set
    ZQNET_PARAM_BOARD = 582,      // board record (ZQNetBoardRecord): query, set
    ZQNET_PARAM_RESET = 588,      // factory reset record (ZQNetResetRecord): set
    ZQNET_PARAM_EXT_DEVICE = 700,  // extended device record (ZQNetExtDeviceRecord): query, set
    ZQNET_PARAM_FOCUS = 803,       // focus record (ZQNetFocusRecord): query
    ZQNET_PARAM_LENS_FILE = 871,   // lens file: set, raw bytes, at most ZQNET_LENS_FILE_MAX
    ZQNET_PARAM_FISHEYE = 1015,    // fisheye block (ZQNetFisheyeRecord): query, set
    ZQNET_PARAM_WRITE = 216,       // first field of the write form of ZQNetParamRequest

    // Commands (ZQNetSimpleCmd)
    ZQNET_CMD_TELNET_OPEN = 349,
    ZQNET_CMD_TELNET_CLOSE = 350,
    ZQNET_CMD_CONSOLE_OPEN = 351,  // serial console
    ZQNET_CMD_CONSOLE_CLOSE = 352,

    // PTZ commands (ZQNetPTZControl)
    ZQNET_PTZ_FOCUS_LOCK = 96,         // with a ZQNetFocusLockRecord
    ZQNET_PTZ_LENS_CALIBRATION = 108,  // with no record; the outcome arrives as alarms 253

    // Event types (event callback)
    ZQNET_ALARM_LENS_CALIBRATION = 253,  // data: ZQNetLensCalibrationAlarm
};

enum : size_t {
    ZQNET_LENS_FILE_MAX = 400,  // largest lens file (code 871) a unit takes
};

// ---------------------------------------------------------------------------------------------
// Callback types

// Event callback: (event type, data, length in bytes, user value). The data is valid only during
// the call. Alarms (ZQNetAlarmSubscribe) arrive here.
typedef void (*ZQNetEventCallback)(int32_t type, const void* data, int32_t length, void* user);

// Status callback: (status code, user value).
typedef void (*ZQNetStatusCallback)(int32_t status, void* user);

// Search callback: (device record, or nullptr at the end; user value) -> 1 to receive more
// devices, 0 to end the search. After it has returned 0 it is never called again for that search.
struct ZQNetDeviceRecord;
typedef int32_t (*ZQNetSearchCallback)(const ZQNetDeviceRecord* device, void* user);

// ---------------------------------------------------------------------------------------------
// Request forms

// Connection record (ZQNetConnectionStartEx). 56 bytes with 32-bit pointers.
struct ZQNetConnectionRecord {
    const char* address;      // dotted IPv4 address (or a device identifier), zero-terminated
    int32_t port;             // the unit's media port
    const char* user;         // user name, zero-terminated
    const char* password;     // password, zero-terminated; never sent in clear
    ZQNET_HWND notifyWindow;  // window for the notification message, 0 when callbacks are used
    uint32_t notifyMessage;   // notification message number (wParam = status code, lParam = 0)
    void* userValue;          // handed back to the callbacks
    int32_t useNotifyWindow;  // 1: report by notification message, 0: by callbacks
    ZQNetEventCallback eventCallback;    // may be null
    int32_t reserved1;                   // 0
    ZQNetStatusCallback statusCallback;  // may be null
    int32_t kind;                        // connection kind: 0, address is a dotted IPv4 address
    uint8_t reserved2[6];                // 0
    uint8_t option;                      // connection option: 0
    uint8_t reserved3;                   // 0
};

// Parameter request (ZQNetQueryParamEx, ZQNetSetParamEx). 32 bytes with 32-bit pointers.
// Query form: {code, 0, buffer, size, 0, 0, 0, 0}. Write form: {216, code, buffer, size, 0, 0,
// 1, 0}. MAC write form: {401, 0, buffer, 116, 0, 0, 1, 0}.
struct ZQNetParamRequest {
    int32_t command;    // parameter code (query), 216 (write) or 401 (MAC write)
    int32_t code;       // parameter code of the write form, else 0
    void* buffer;       // the record
    int32_t size;       // size of the buffer in bytes
    int32_t reserved1;  // 0
    int32_t reserved2;  // 0
    int32_t write;      // 1 in the write forms, 0 in the query form
    int32_t reserved3;  // 0
};

// Temporary parameter request (ZQNetQueryTemporaryParam). 40 bytes with 32-bit pointers.
struct ZQNetTempParamRequest {
    int32_t code;          // parameter code (400)
    int32_t reserved1;     // 0
    int32_t reserved2;     // 0
    void* buffer;          // the record
    int32_t reserved3;     // 0
    int32_t size;          // size of the buffer in bytes
    int32_t reserved4[4];  // 0
};

// Short parameter request (ZQNetSetParam). 20 bytes with 32-bit pointers. The size is that of the
// record the code names (code 524: 160 bytes).
struct ZQNetShortParamRequest {
    int32_t code;         // parameter code (524)
    void* buffer;         // the record
    int32_t reserved[3];  // 0
};

// Command request (ZQNetSimpleCmd). 16 bytes.
struct ZQNetCommandRequest {
    int32_t command;      // 349 to 352
    int32_t reserved[3];  // 0
};

// Search request (ZQNetSearchDev). 12 bytes with 32-bit pointers.
struct ZQNetSearchRequest {
    ZQNetSearchCallback callback;  // called once per device, then once with nullptr
    void* userValue;               // handed back to the callback
    uint8_t option;                // search option: 0
    uint8_t reserved[3];           // 0
};

// Data callback of a live preview: (block of stream data, length in bytes, user value) -> the
// callback's result (ignored by the library). Runs on the library's thread, once per block; the
// block is valid only during the call. A block is one whole media frame (protocol/media_frame.h:
// a 32-byte "ZQMF" header, then one H.264 Annex B access unit; see the protocol's README).
typedef int32_t (*ZQNetPreviewDataCallback)(const uint8_t* data, int32_t length, void* user);

// Preview request (ZQNetStartPreview). 36 bytes with 32-bit pointers.
// The camera tabs pass {0, 0, 0, 1, callback, user, window, 1649, 0}.
struct ZQNetPreviewRequest {
    int32_t reserved1[3];                   // 0
    int32_t stream;                         // 1
    ZQNetPreviewDataCallback dataCallback;  // called once per block of stream data
    void* userValue;                        // handed back to the data callback
    ZQNET_HWND notifyWindow;                // window told that the preview started (status 202)
    uint32_t notifyMessage;                 // message number of that notification (1649)
    int32_t reserved2;                      // 0
};

// ---------------------------------------------------------------------------------------------
// Data records (fixed layout on every platform)

// Device record (448 bytes), one per unit found by ZQNetSearchDev. Texts are zero-terminated.
struct ZQNetDeviceRecord {
    char ip[52];            // 0: IPv4 address, dotted
    char netmask[16];       // 52
    char gateway[16];       // 68
    char dns1[16];          // 84
    char dns2[16];          // 100
    int32_t mediaPort;      // 116
    int32_t webPort;        // 120
    int32_t netType;        // 124: 0 DHCP, 1 PPPOE, 2 STATIC
    char typeName[36];      // 128: device type name, UTF-8
    char version[76];       // 164: firmware version
    char mac[36];           // 240: MAC address text
    int32_t channels;       // 276: channel count
    uint8_t reserved1[74];  // 280
    int8_t channelsByte;    // 354: channel count; used instead of `channels` when >= 1
    uint8_t reserved2[93];  // 355
};

// Device-information record (1232 bytes, ZQNetGetDevInfo).
struct ZQNetDeviceInfo {
    uint32_t reserved0;       // 0
    uint32_t deviceClass;     // 4: bits 8 to 11 are the device kind (4: camera)
    uint8_t reserved1[444];   // 8
    uint8_t lensCalibration;  // 452: 1 when the unit can calibrate its lens (PTZ 108)
    uint8_t reserved2[779];   // 453
};

// Device kind of a device-information record (bits 8 to 11 of the word at offset 4).
inline uint32_t ZQNetDeviceKind(const ZQNetDeviceInfo& info) {
    return (info.deviceClass >> 8) & 0xF;
}

// MAC record (codes 400/401, 116 bytes).
struct ZQNetMacRecord {
    uint32_t size;         // 0: 116
    uint8_t mac[6];        // 4: Ethernet MAC address
    uint8_t reserved1[2];  // 10: as read from the unit
    char module[32];       // 12: module name, zero-terminated
    char serial[32];       // 44: serial number (zero-terminated when shorter than 32)
    uint8_t reserved2[2];  // 76: as read from the unit
    uint8_t wifiMac[6];    // 78: Wi-Fi MAC address
    char snCode[32];       // 84: SN code, zero-terminated
};

// Key record (code 553, 76 bytes).
struct ZQNetKeyRecord {
    uint32_t size;         // 0: 76
    char key[48];          // 4: P2P key text, zero-terminated or filling the field
    uint8_t reserved[24];  // 52
};

// Factory reset record (code 588, 28 bytes), stamped with the station's local time.
struct ZQNetResetRecord {
    uint32_t size;          // 0: 28
    uint16_t year;          // 4
    uint8_t month;          // 6: 1 to 12
    uint8_t day;            // 7
    uint8_t hour;           // 8
    uint8_t minute;         // 9
    uint8_t second;         // 10
    uint8_t reserved1;      // 11: 0
    uint8_t restore;        // 12: 1
    uint8_t reserved2[15];  // 13: 0
};

// Field-select mask bits of the extended device record.
enum : uint32_t {
    ZQNET_EXT_MAIN_BOARD = 0x1,
    ZQNET_EXT_PRODUCT_MODEL = 0x8,
    ZQNET_EXT_DEVICE_MODEL = 0x10,
    ZQNET_EXT_DEVICE_NAME = 0x20,
    ZQNET_EXT_CUSTOM_CODE = 0x40,
    ZQNET_EXT_FUNCTION_CODE = 0x80,
    ZQNET_EXT_FOUR_DISK = 0x100,
    ZQNET_EXT_LANGUAGE_CONFIG = 0x200,
    ZQNET_EXT_LANGUAGE = 0x400,
    ZQNET_EXT_SERIAL = 0x800,
    ZQNET_EXT_PRODUCT_CODE = 0x1000,
    ZQNET_EXT_FORMAT = 0x2000,
    ZQNET_EXT_ANGLE_ROTATION = 0x4000,
    ZQNET_EXT_ALARM_OUTPUT = 0x8000,
    ZQNET_EXT_ALARM_INPUT = 0x10000,
    ZQNET_EXT_AUDIO = 0x20000,
    ZQNET_EXT_POE_POWER = 0x40000,
    ZQNET_EXT_HDD_GROUP = 0x80000,
    ZQNET_EXT_ESATA = 0x100000,
    ZQNET_EXT_MIN_FOCAL = 0x200000,
    ZQNET_EXT_MAX_FOCAL = 0x400000,
};

// Extended device record (code 700, 1032 bytes). A write applies only the fields whose mask bit
// is set; a query returns every field, and the mask is the unit's own (our simulated units
// answer the mask of the last write they accepted).
struct ZQNetExtDeviceRecord {
    uint32_t size;            // 0: 1032
    uint32_t mask;            // 4: field-select mask (ZQNET_EXT_*)
    uint32_t reserved1;       // 8
    uint32_t angleRotation;   // 12
    char mainBoard[16];       // 16: at most 15 characters
    uint8_t reserved2[40];    // 32
    char productModel[64];    // 72: at most 63
    char deviceModel[32];     // 136: UTF-8, at most 31 bytes
    char deviceName[32];      // 168: UTF-8, at most 31 bytes
    char customCode[32];      // 200: user and language code, at most 31
    uint8_t functionCode[8];  // 232: unsigned 64-bit, little-endian (unaligned)
    uint8_t fourDisk;         // 240
    uint8_t languageConfig;   // 241
    uint8_t language;         // 242
    char serial[32];          // 243: at most 32 bytes, no terminator when full
    uint8_t productCode;      // 275
    uint8_t format;           // 276: video format
    uint8_t reserved3;        // 277
    uint8_t esata;            // 278
    uint8_t hddGroup;         // 279
    uint8_t alarmOutputs;     // 280
    uint8_t alarmInputs;      // 281
    uint8_t audioChannels;    // 282
    uint8_t reserved4[2];     // 283
    uint8_t minFocal;         // 285
    uint8_t maxFocal;         // 286
    uint8_t reserved5;        // 287
    uint16_t poePower;        // 288
    uint8_t reserved6[742];   // 290
};

// Board record (code 582, 32 bytes), written whole.
struct ZQNetBoardRecord {
    uint32_t size;        // 0: 32
    uint32_t keyId;       // 4
    char boardId[16];     // 8: at most 16 characters
    uint8_t deviceType;   // 24: 255 = none
    uint8_t reserved[7];  // 25: 0
};

// Focus record (code 803, 200 bytes, read only).
struct ZQNetFocusRecord {
    uint32_t size;              // 0: 200
    uint8_t reserved1[36];      // 4
    char autofocusVersion[64];  // 40: zero-terminated
    uint8_t reserved2[96];      // 104
};

// Fisheye block (code 1015, 80 bytes). The station leaves the first word 0.
struct ZQNetFisheyeRecord {
    uint32_t size;          // 0: 0 or 80
    uint32_t reserved1;     // 4
    int32_t centerX;        // 8: picture pixels
    int32_t centerY;        // 12
    int32_t radius;         // 16
    uint8_t reserved2[60];  // 20: written back as read
};

// System parameter record (code 524, 160 bytes). The byte fields' codes are the unit's own.
struct ZQNetSysParamRecord {
    uint32_t size;                // 0: 160
    uint32_t dstSize;             // 4: size of the DST block (4..47): 44
    uint16_t year;                // 8
    uint8_t month;                // 10
    uint8_t day;                  // 11
    uint8_t hour;                 // 12
    uint8_t minute;               // 13
    uint8_t second;               // 14
    uint8_t reserved1;            // 15
    uint8_t dstTimeMode;          // 16
    uint8_t dstDateMode;          // 17
    uint8_t dst;                  // 18
    uint8_t offset;               // 19
    uint8_t dstMode;              // 20
    uint8_t startMonth;           // 21
    uint8_t startWeek;            // 22
    uint8_t startWeekDay;         // 23
    uint8_t endMonth;             // 24
    uint8_t endWeek;              // 25
    uint8_t endWeekDay;           // 26
    uint8_t startSecond;          // 27
    uint8_t endSecond;            // 28
    uint8_t reserved2[3];         // 29
    uint8_t startDate[3];         // 32
    uint8_t reserved3;            // 35
    uint8_t startHour[3];         // 36
    uint8_t reserved4;            // 39
    uint8_t endDate[3];           // 40
    uint8_t reserved5;            // 43
    uint8_t endHour[3];           // 44
    uint8_t reserved6;            // 47
    uint32_t ntpSize;             // 48: size of the NTP block (48..67): 20
    uint8_t ntpIpAddr[4];         // 52: the station uses the first byte
    uint8_t useNtp;               // 56
    uint8_t timeZone;             // 57
    uint8_t reserved7[10];        // 58
    uint32_t languageMask;        // 68
    uint8_t language;             // 72
    uint8_t videoFormat;          // 73
    uint8_t autoLogout;           // 74
    uint8_t reserved8;            // 75
    uint8_t dateMode;             // 76
    uint8_t timeMode;             // 77
    uint8_t reserved9;            // 78
    uint8_t showWizard;           // 79
    uint8_t hybirdEnable;         // 80
    uint8_t vgaResolution;        // 81
    uint8_t ieChangeTime;         // 82: 1 when the station sets the clock
    uint8_t reserved10;           // 83
    uint32_t extendLanguageMask;  // 84
    char ntpServer[64];           // 88: zero-padded, no terminator when full
    uint16_t timeZoneEx;          // 152
    uint8_t reserved11[6];        // 154
};

// Focus-lock record passed with PTZ command 96 (44 bytes, all zero).
struct ZQNetFocusLockRecord {
    uint8_t reserved[44];
};

// Lens calibration alarm (event type 253), as the unit sends it (56 bytes).
struct ZQNetLensCalibrationAlarm {
    uint8_t reserved1[24];  // 0
    uint8_t running;        // 24: nonzero while the calibration runs
    uint8_t result;         // 25: 255 and 1 are failures, any other value success
    uint8_t reserved2[30];  // 26
};

// ---------------------------------------------------------------------------------------------
// Layout checks

#define ZQNET_PTR_SIZE(narrow, wide) (sizeof(void*) == 4 ? (narrow) : (wide))

static_assert(sizeof(ZQNetConnectionRecord) == ZQNET_PTR_SIZE(56, 104));
static_assert(offsetof(ZQNetConnectionRecord, port) == ZQNET_PTR_SIZE(4, 8));
static_assert(offsetof(ZQNetConnectionRecord, user) == ZQNET_PTR_SIZE(8, 16));
static_assert(offsetof(ZQNetConnectionRecord, password) == ZQNET_PTR_SIZE(12, 24));
static_assert(offsetof(ZQNetConnectionRecord, notifyWindow) == ZQNET_PTR_SIZE(16, 32));
static_assert(offsetof(ZQNetConnectionRecord, notifyMessage) == ZQNET_PTR_SIZE(20, 40));
static_assert(offsetof(ZQNetConnectionRecord, userValue) == ZQNET_PTR_SIZE(24, 48));
static_assert(offsetof(ZQNetConnectionRecord, useNotifyWindow) == ZQNET_PTR_SIZE(28, 56));
static_assert(offsetof(ZQNetConnectionRecord, eventCallback) == ZQNET_PTR_SIZE(32, 64));
static_assert(offsetof(ZQNetConnectionRecord, reserved1) == ZQNET_PTR_SIZE(36, 72));
static_assert(offsetof(ZQNetConnectionRecord, statusCallback) == ZQNET_PTR_SIZE(40, 80));
static_assert(offsetof(ZQNetConnectionRecord, kind) == ZQNET_PTR_SIZE(44, 88));
static_assert(offsetof(ZQNetConnectionRecord, option) == ZQNET_PTR_SIZE(54, 98));

static_assert(sizeof(ZQNetPreviewRequest) == ZQNET_PTR_SIZE(36, 48));
static_assert(offsetof(ZQNetPreviewRequest, dataCallback) == 16);
static_assert(offsetof(ZQNetPreviewRequest, userValue) == ZQNET_PTR_SIZE(20, 24));
static_assert(offsetof(ZQNetPreviewRequest, notifyWindow) == ZQNET_PTR_SIZE(24, 32));
static_assert(offsetof(ZQNetPreviewRequest, notifyMessage) == ZQNET_PTR_SIZE(28, 40));

static_assert(sizeof(ZQNetParamRequest) == ZQNET_PTR_SIZE(32, 40));
static_assert(offsetof(ZQNetParamRequest, buffer) == 8);
static_assert(offsetof(ZQNetParamRequest, size) == ZQNET_PTR_SIZE(12, 16));
static_assert(offsetof(ZQNetParamRequest, write) == ZQNET_PTR_SIZE(24, 28));

static_assert(sizeof(ZQNetTempParamRequest) == ZQNET_PTR_SIZE(40, 48));
static_assert(offsetof(ZQNetTempParamRequest, buffer) == ZQNET_PTR_SIZE(12, 16));
static_assert(offsetof(ZQNetTempParamRequest, size) == ZQNET_PTR_SIZE(20, 28));

static_assert(sizeof(ZQNetShortParamRequest) == ZQNET_PTR_SIZE(20, 32));
static_assert(offsetof(ZQNetShortParamRequest, buffer) == ZQNET_PTR_SIZE(4, 8));

static_assert(sizeof(ZQNetCommandRequest) == 16);

static_assert(sizeof(ZQNetSearchRequest) == ZQNET_PTR_SIZE(12, 24));
static_assert(offsetof(ZQNetSearchRequest, userValue) == ZQNET_PTR_SIZE(4, 8));
static_assert(offsetof(ZQNetSearchRequest, option) == ZQNET_PTR_SIZE(8, 16));

static_assert(sizeof(ZQNetDeviceRecord) == 448);
static_assert(offsetof(ZQNetDeviceRecord, netmask) == 52);
static_assert(offsetof(ZQNetDeviceRecord, gateway) == 68);
static_assert(offsetof(ZQNetDeviceRecord, dns1) == 84);
static_assert(offsetof(ZQNetDeviceRecord, dns2) == 100);
static_assert(offsetof(ZQNetDeviceRecord, mediaPort) == 116);
static_assert(offsetof(ZQNetDeviceRecord, webPort) == 120);
static_assert(offsetof(ZQNetDeviceRecord, netType) == 124);
static_assert(offsetof(ZQNetDeviceRecord, typeName) == 128);
static_assert(offsetof(ZQNetDeviceRecord, version) == 164);
static_assert(offsetof(ZQNetDeviceRecord, mac) == 240);
static_assert(offsetof(ZQNetDeviceRecord, channels) == 276);
static_assert(offsetof(ZQNetDeviceRecord, channelsByte) == 354);

static_assert(sizeof(ZQNetDeviceInfo) == 1232);
static_assert(offsetof(ZQNetDeviceInfo, deviceClass) == 4);
static_assert(offsetof(ZQNetDeviceInfo, lensCalibration) == 452);

static_assert(sizeof(ZQNetMacRecord) == 116);
static_assert(offsetof(ZQNetMacRecord, mac) == 4);
static_assert(offsetof(ZQNetMacRecord, module) == 12);
static_assert(offsetof(ZQNetMacRecord, serial) == 44);
static_assert(offsetof(ZQNetMacRecord, wifiMac) == 78);
static_assert(offsetof(ZQNetMacRecord, snCode) == 84);

static_assert(sizeof(ZQNetKeyRecord) == 76);
static_assert(offsetof(ZQNetKeyRecord, key) == 4);
static_assert(offsetof(ZQNetKeyRecord, reserved) == 52);

static_assert(sizeof(ZQNetResetRecord) == 28);
static_assert(offsetof(ZQNetResetRecord, year) == 4);
static_assert(offsetof(ZQNetResetRecord, month) == 6);
static_assert(offsetof(ZQNetResetRecord, day) == 7);
static_assert(offsetof(ZQNetResetRecord, hour) == 8);
static_assert(offsetof(ZQNetResetRecord, minute) == 9);
static_assert(offsetof(ZQNetResetRecord, second) == 10);
static_assert(offsetof(ZQNetResetRecord, restore) == 12);

static_assert(sizeof(ZQNetExtDeviceRecord) == 1032);
static_assert(offsetof(ZQNetExtDeviceRecord, mask) == 4);
static_assert(offsetof(ZQNetExtDeviceRecord, angleRotation) == 12);
static_assert(offsetof(ZQNetExtDeviceRecord, mainBoard) == 16);
static_assert(offsetof(ZQNetExtDeviceRecord, productModel) == 72);
static_assert(offsetof(ZQNetExtDeviceRecord, deviceModel) == 136);
static_assert(offsetof(ZQNetExtDeviceRecord, deviceName) == 168);
static_assert(offsetof(ZQNetExtDeviceRecord, customCode) == 200);
static_assert(offsetof(ZQNetExtDeviceRecord, functionCode) == 232);
static_assert(offsetof(ZQNetExtDeviceRecord, fourDisk) == 240);
static_assert(offsetof(ZQNetExtDeviceRecord, languageConfig) == 241);
static_assert(offsetof(ZQNetExtDeviceRecord, language) == 242);
static_assert(offsetof(ZQNetExtDeviceRecord, serial) == 243);
static_assert(offsetof(ZQNetExtDeviceRecord, productCode) == 275);
static_assert(offsetof(ZQNetExtDeviceRecord, format) == 276);
static_assert(offsetof(ZQNetExtDeviceRecord, esata) == 278);
static_assert(offsetof(ZQNetExtDeviceRecord, hddGroup) == 279);
static_assert(offsetof(ZQNetExtDeviceRecord, alarmOutputs) == 280);
static_assert(offsetof(ZQNetExtDeviceRecord, alarmInputs) == 281);
static_assert(offsetof(ZQNetExtDeviceRecord, audioChannels) == 282);
static_assert(offsetof(ZQNetExtDeviceRecord, minFocal) == 285);
static_assert(offsetof(ZQNetExtDeviceRecord, maxFocal) == 286);
static_assert(offsetof(ZQNetExtDeviceRecord, poePower) == 288);

static_assert(sizeof(ZQNetBoardRecord) == 32);
static_assert(offsetof(ZQNetBoardRecord, keyId) == 4);
static_assert(offsetof(ZQNetBoardRecord, boardId) == 8);
static_assert(offsetof(ZQNetBoardRecord, deviceType) == 24);

static_assert(sizeof(ZQNetFocusRecord) == 200);
static_assert(offsetof(ZQNetFocusRecord, autofocusVersion) == 40);

static_assert(sizeof(ZQNetFisheyeRecord) == 80);
static_assert(offsetof(ZQNetFisheyeRecord, centerX) == 8);
static_assert(offsetof(ZQNetFisheyeRecord, centerY) == 12);
static_assert(offsetof(ZQNetFisheyeRecord, radius) == 16);

static_assert(sizeof(ZQNetSysParamRecord) == 160);
static_assert(offsetof(ZQNetSysParamRecord, dstSize) == 4);
static_assert(offsetof(ZQNetSysParamRecord, year) == 8);
static_assert(offsetof(ZQNetSysParamRecord, second) == 14);
static_assert(offsetof(ZQNetSysParamRecord, dstTimeMode) == 16);
static_assert(offsetof(ZQNetSysParamRecord, endSecond) == 28);
static_assert(offsetof(ZQNetSysParamRecord, startDate) == 32);
static_assert(offsetof(ZQNetSysParamRecord, startHour) == 36);
static_assert(offsetof(ZQNetSysParamRecord, endDate) == 40);
static_assert(offsetof(ZQNetSysParamRecord, endHour) == 44);
static_assert(offsetof(ZQNetSysParamRecord, ntpSize) == 48);
static_assert(offsetof(ZQNetSysParamRecord, ntpIpAddr) == 52);
static_assert(offsetof(ZQNetSysParamRecord, useNtp) == 56);
static_assert(offsetof(ZQNetSysParamRecord, timeZone) == 57);
static_assert(offsetof(ZQNetSysParamRecord, languageMask) == 68);
static_assert(offsetof(ZQNetSysParamRecord, language) == 72);
static_assert(offsetof(ZQNetSysParamRecord, videoFormat) == 73);
static_assert(offsetof(ZQNetSysParamRecord, autoLogout) == 74);
static_assert(offsetof(ZQNetSysParamRecord, dateMode) == 76);
static_assert(offsetof(ZQNetSysParamRecord, timeMode) == 77);
static_assert(offsetof(ZQNetSysParamRecord, showWizard) == 79);
static_assert(offsetof(ZQNetSysParamRecord, hybirdEnable) == 80);
static_assert(offsetof(ZQNetSysParamRecord, vgaResolution) == 81);
static_assert(offsetof(ZQNetSysParamRecord, ieChangeTime) == 82);
static_assert(offsetof(ZQNetSysParamRecord, extendLanguageMask) == 84);
static_assert(offsetof(ZQNetSysParamRecord, ntpServer) == 88);
static_assert(offsetof(ZQNetSysParamRecord, timeZoneEx) == 152);

static_assert(sizeof(ZQNetFocusLockRecord) == 44);
static_assert(sizeof(ZQNetLensCalibrationAlarm) == 56);
static_assert(offsetof(ZQNetLensCalibrationAlarm, running) == 24);
static_assert(offsetof(ZQNetLensCalibrationAlarm, result) == 25);

#undef ZQNET_PTR_SIZE

// ---------------------------------------------------------------------------------------------
// Functions

extern "C" {

// Once at start, before any other call. 1 on success; calling it again while initialised is a
// no-op that returns 1.
ZQNET_BOOL ZQNetInit(void);

// Right after ZQNetInit. 1: every later connection runs inside TLS 1.3; 0: plain TCP. In both
// modes the password is proven by challenge and response and never crosses the wire. Returns 0
// for any other value.
ZQNET_BOOL ZQNetSetEncription(int32_t mode);

// Once at exit. Stops every connection and search still running (their callbacks are not called
// afterwards), joins the library's threads and frees everything. Returns 1.
ZQNET_BOOL ZQNetRelease(void);

// Starts a connection and its login on the library's own thread and returns at once. Returns the
// connection handle, or 0 when the record is unusable (no address, not initialised); the login
// outcome is reported in every case, exactly once: to `statusCallback`, or, when
// `useNotifyWindow` is 1, as message `notifyMessage` posted to `notifyWindow` with the status in
// wParam. The texts of the record are copied before the call returns.
ZQNET_HANDLE ZQNetConnectionStartEx(const ZQNetConnectionRecord* record);

// Ends the connection whose handle *handle holds; no callback of it runs after the call has
// returned. The caller zeroes the variable afterwards. 0 for an unknown handle.
ZQNET_BOOL ZQNetConnectionStop(ZQNET_HANDLE* handle);

// Fills `buffer` (at most `size` bytes; the record is 1232) with the device-information record.
ZQNET_BOOL ZQNetGetDevInfo(ZQNET_HANDLE connection, void* buffer, int32_t size);

// Query form: reads parameter `command` into `buffer` (at most `size` bytes). Write forms
// (`write` 1): writes `size` bytes of `buffer` as parameter `code` (216) or as the MAC record
// (401).
ZQNET_BOOL ZQNetQueryParamEx(ZQNET_HANDLE connection, ZQNetParamRequest* request);
ZQNET_BOOL ZQNetSetParamEx(ZQNET_HANDLE connection, ZQNetParamRequest* request);

// Reads parameter `code` (400) into `buffer`, at most `size` bytes.
ZQNET_BOOL ZQNetQueryTemporaryParam(ZQNET_HANDLE connection, ZQNetTempParamRequest* request);

// Writes the record of parameter `code` (524: the 160-byte system parameter record).
ZQNET_BOOL ZQNetSetParam(ZQNET_HANDLE connection, ZQNetShortParamRequest* request);

// Sends command `command` (349 to 352); returns once the unit has answered.
ZQNET_BOOL ZQNetSimpleCmd(ZQNET_HANDLE connection, ZQNetCommandRequest* request);

// Starts a search of the library's configured search targets (default: loopback) and returns at
// once (1 when started). The callback runs on the library's thread: once per device found, then
// once with nullptr, unless it has returned 0 before.
ZQNET_BOOL ZQNetSearchDev(ZQNetSearchRequest* request);

// PTZ command: 96 with a 44-byte ZQNetFocusLockRecord, 108 with nullptr.
ZQNET_BOOL ZQNetPTZControl(ZQNET_HANDLE connection, int32_t command, void* record);

// Starts the live preview of the connection and returns its handle (unique in the library,
// never 0). 0 when refused: an unknown or failed connection, a request without data callback,
// 16 previews on the connection already, or, once logged in, a unit that will not stream.
// May be called right after ZQNetConnectionStartEx, before the login outcome: it then returns
// at once, and the library asks the unit for the preview right after the login, before it
// reports the outcome (a unit that refuses then simply sends nothing). Once logged in it asks
// the unit at once and waits for its answer (at most the call time-out).
// When the first media frame has come, status 202 (ZQNET_STATUS_PREVIEW_STARTED) is posted to
// the request's notifyWindow as message notifyMessage (when the window is not 0); that frame
// and every later one then go to the data callback on the library's thread, one whole media
// frame (protocol/media_frame.h) per call, numbered from 0. Frames that come damaged (cut short,
// out of order, above 8 MiB, not a well-formed media frame) are dropped, never handed on in
// part. A unit that never streams causes no 202 and no callback.
ZQNET_HANDLE ZQNetStartPreview(ZQNET_HANDLE connection, const ZQNetPreviewRequest* request);

// Ends the preview whose handle *preview holds: its data callback is not called after the call
// has returned (a running call is waited for). The unit is told in the background; the call
// does not wait for it. 0 for an unknown connection or preview. The caller zeroes the variable
// afterwards. ZQNetConnectionStop and ZQNetRelease end the connection's previews as well.
ZQNET_BOOL ZQNetStopPreview(ZQNET_HANDLE connection, ZQNET_HANDLE* preview);

// 1: the unit's alarms are delivered to the connection's event callback; 0: no longer.
// Before the login outcome the choice is remembered (result 1) and takes effect right after the
// login, before the outcome is reported; afterwards it is a request to the unit (1 when the
// unit agreed). 0 for an unknown connection or one that has failed or stopped.
ZQNET_BOOL ZQNetAlarmSubscribe(ZQNET_HANDLE connection, int32_t subscribe);

}  // extern "C"
