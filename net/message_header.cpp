#include "net/message_header.h"

#include "core/wire.h"

void MessageHeader::Encode(uint8_t* out) const {
    wire::StoreU16(out + kReservedAOffset, ReservedA);
    wire::StoreU32(out + kReservedBOffset, ReservedB);
    wire::StoreU16(out + kMsgTypeOffset, MsgType);
    out[kLastFlagOffset] = uint8_t(LastFlag);
    wire::StoreU16(out + kRecCountOffset, RecCount);
    wire::StoreU32(out + kRecSizeOffset, RecSize);
    wire::StoreU32(out + kReservedCOffset, ReservedC);
    wire::StoreText(out + kUserNameOffset, kUserNameWidth, UserName);
    wire::StoreU32(out + kErrorCodeOffset, ErrorCode);
}

bool MessageHeader::Decode(const uint8_t* msg, size_t len) {
    if (msg == nullptr || len < kSize)
        return false;
    ReservedA = wire::LoadU16(msg + kReservedAOffset);
    ReservedB = wire::LoadU32(msg + kReservedBOffset);
    MsgType = wire::LoadU16(msg + kMsgTypeOffset);
    LastFlag = char(msg[kLastFlagOffset]);
    RecCount = wire::LoadU16(msg + kRecCountOffset);
    RecSize = wire::LoadU32(msg + kRecSizeOffset);
    ReservedC = wire::LoadU32(msg + kReservedCOffset);
    UserName = std::string(wire::LoadText(msg + kUserNameOffset, kUserNameWidth));
    ErrorCode = wire::LoadU32(msg + kErrorCodeOffset);
    return true;
}

MessageHeader MessageHeader::Request(uint16_t msgType, uint32_t recordSize) {
    MessageHeader h;
    h.MsgType = msgType;
    h.LastFlag = '0';
    h.RecCount = 1;
    h.RecSize = recordSize;
    return h;
}

uint16_t PeekMsgType(const uint8_t* msg) {
    return wire::LoadU16(msg + MessageHeader::kMsgTypeOffset);
}
uint32_t PeekErrorCode(const uint8_t* msg) {
    return wire::LoadU32(msg + MessageHeader::kErrorCodeOffset);
}
