#include "wire.h"

#include <cstring>
#include <span>

namespace zqnet {

void Inbound::Feed(const std::uint8_t* data, std::size_t size) {
    if (!bad_ && !reader_.Feed(std::span<const std::uint8_t>(data, size)))
        bad_ = true;
}

Inbound::Result Inbound::Next(zqproto::Message* message) {
    if (bad_)
        return kBad;
    zqproto::Frame frame;
    switch (reader_.Next(frame)) {
        case zqproto::FrameReader::Status::kNeedMore:
            return kNeedMore;
        case zqproto::FrameReader::Status::kError:
            bad_ = true;
            return kBad;
        case zqproto::FrameReader::Status::kFrame:
            break;
    }
    if (!zqproto::Decode(frame, *message)) {
        bad_ = true;
        return kBad;
    }
    return kMessage;
}

bool ReplySucceeded(const zqproto::Message& reply) {
    return zqproto::IsReply(reply.kind) && reply.code == zqproto::kOk;
}

std::size_t CopyReplyData(const zqproto::Message& reply, void* buffer, std::size_t size) {
    std::size_t n = reply.data.size() < size ? reply.data.size() : size;
    if (n > 0 && buffer != nullptr)
        std::memcpy(buffer, reply.data.data(), n);
    return buffer != nullptr ? n : 0;
}

namespace {

template <std::size_t N>
void Terminate(char (&field)[N]) {
    field[N - 1] = '\0';
}

}  // namespace

bool DecodeSearchAnswer(const std::uint8_t* data, std::size_t size, std::uint32_t search_id,
                        ZQNetDeviceRecord* record) {
    zqproto::Message m;
    if (!zqproto::DecodeDatagram(std::span<const std::uint8_t>(data, size), m))
        return false;
    if (m.kind != zqproto::Kind::kSearchAnswer || m.sequence != search_id ||
        m.data.size() != sizeof(ZQNetDeviceRecord))
        return false;
    std::memcpy(record, m.data.data(), sizeof(ZQNetDeviceRecord));
    // The station reads these texts up to their zero byte.
    Terminate(record->ip);
    Terminate(record->netmask);
    Terminate(record->gateway);
    Terminate(record->dns1);
    Terminate(record->dns2);
    Terminate(record->typeName);
    Terminate(record->version);
    Terminate(record->mac);
    return true;
}

}  // namespace zqnet
