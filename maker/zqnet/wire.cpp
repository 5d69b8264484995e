#include "wire.h"

#include "protocol/media_frame.h"

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

void MediaAssembler::Drop() {
    if (assembling_)
        ++dropped_;
    assembling_ = false;
    buffer_.clear();
}

bool MediaAssembler::Add(std::uint32_t total, std::uint32_t offset,
                         std::span<const std::uint8_t> bytes) {
    if (offset == 0) {
        Drop();  // a frame not finished is given up
        if (total <= zqproto::kMediaHeaderSize || total > zqproto::kMaxMediaFrame) {
            ++dropped_;
            return false;
        }
        // Room for the whole frame at once; a large room left by an earlier frame is given back.
        if (buffer_.capacity() > 2 * static_cast<std::size_t>(total) &&
            buffer_.capacity() > (std::size_t{1} << 20))
            std::vector<std::uint8_t>().swap(buffer_);
        buffer_.reserve(total);
        total_ = total;
        assembling_ = true;
    } else if (!assembling_ || total != total_ || offset != buffer_.size()) {
        Drop();
        return false;
    }
    if (bytes.size() > total_ - buffer_.size()) {
        Drop();
        return false;
    }
    buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
    if (buffer_.size() < total_)
        return false;
    assembling_ = false;
    zqproto::MediaFrame frame;
    if (!zqproto::ParseMediaFrame(buffer_, frame)) {
        ++dropped_;
        buffer_.clear();
        return false;
    }
    return true;
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
