// SysParamDst: the unit's system parameter record (code 524: clock, date and time modes,
// daylight-saving rule, NTP settings, language, video format, ...) as a JSON document, and the
// time sync that sets a unit's clock to the station's local time.
//
// What a caller may rely on:
// - Query(0) reads the record on the session the session reference names at that moment and
//   answers the document as compact JSON followed by one line feed, or "err" when the read fails
//   (or no session is set).
// - Write(json) answers 1 when the record was sent and the library accepted it, else 0. Nothing
//   is sent when the text is "null", is not JSON, is not a JSON object, or has a member of the
//   wrong kind (a number that is not an integer, a text where a number belongs, an object or
//   array member that is something else). Integer members are stored in the width of their
//   field (their low bytes), so LanguageMask takes any unsigned 32-bit value, 2^31 and above
//   included; a missing member counts as 0 (NtpServAddr as ""). hybirdEnable, ExtendLanguageMask
//   and every byte the document does not carry are sent as the last Query read them; the block
//   sizes become 44 and 20 and the change-time byte 1.
// - The object never opens or closes a session. User-interface thread only.
#pragma once

#include <json/value.h>

#include <string>

#include "device/ZQNet.h"
#include "params/param_base.h"

class SysParamDst : public CParamBase {
  public:
    using CParamBase::Query;
    using CParamBase::Write;

    // The owner's session-handle variable; every library call uses the handle it holds then.
    void SetSession(const ZQNET_HANDLE* session) { session_ = session; }

    std::string Query(int index) override;
    int Write(const std::string& json) override;

    // The record as the last Query read it and the last Write changed it.
    const ZQNetSysParamRecord& Record() const { return record_; }

    // The document Query builds from a record.
    static Json::Value Document(const ZQNetSysParamRecord& record);
    // Compact JSON text followed by one line feed.
    static std::string Text(const Json::Value& document);

  private:
    ZQNET_HANDLE Session() const { return session_ != nullptr ? *session_ : 0; }

    const ZQNET_HANDLE* session_ = nullptr;
    ZQNetSysParamRecord record_{};
    Json::Value document_;
    std::string ntp_server_;
};

namespace params {

// Reads the unit's system parameter record (code 524, query form) into `record`, zero-filled
// with its size word set first. False when the read fails or there is no session.
bool QuerySystemRecord(ZQNET_HANDLE session, ZQNetSysParamRecord& record);

// The time sync: sends the unit its own system parameters as just read, with the clock set to the
// station's local time (platform::LocalNow; the year as its last two digits) and the change-time
// byte 1. Points `param` at `session` first. True exactly when the write was accepted; nothing is
// sent when a read fails.
bool SyncDeviceTime(const ZQNET_HANDLE* session, SysParamDst& param);

}  // namespace params
