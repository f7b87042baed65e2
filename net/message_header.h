// The 74-byte header that starts every service message, read and written field by field.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

struct MessageHeader {
    static constexpr size_t kSize = 74;
    static constexpr size_t kReservedAOffset = 0;
    static constexpr size_t kReservedBOffset = 2;
    static constexpr size_t kMsgTypeOffset = 6;
    static constexpr size_t kLastFlagOffset = 8;
    static constexpr size_t kRecCountOffset = 9;
    static constexpr size_t kRecSizeOffset = 11;
    static constexpr size_t kReservedCOffset = 15;
    static constexpr size_t kUserNameOffset = 19;
    static constexpr size_t kUserNameWidth = 51;
    static constexpr size_t kErrorCodeOffset = 70;

    uint16_t ReservedA = 0;
    uint32_t ReservedB = 0;
    uint16_t MsgType = 0;
    char LastFlag = '0';
    uint16_t RecCount = 0;
    uint32_t RecSize = 0;
    uint32_t ReservedC = 0;
    std::string UserName; // at most 50 characters are written
    uint32_t ErrorCode = 0;

    // Writes all 74 bytes at out.
    void Encode(uint8_t* out) const;
    // Reads the header at the front of msg; false (header untouched) when len < 74.
    bool Decode(const uint8_t* msg, size_t len);

    // A request header: LastFlag "0", one record of recordSize bytes, everything else zero.
    static MessageHeader Request(uint16_t msgType, uint32_t recordSize);
};

// Field peeks for hot paths that need one field of a message known to be at least 74 bytes long.
uint16_t PeekMsgType(const uint8_t* msg);
uint32_t PeekErrorCode(const uint8_t* msg);
