// The module records the publishing service reported, shared by the check, the download and the
// version records. The 79-byte layout is the one of the wire and of module.info.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>
#include <vector>

struct ModuleRecord {
    static constexpr size_t kSize = 79;

    char PackageNo[11] = {};
    char ModuleName[51] = {};
    uint32_t ModuleVerA = 0;
    uint32_t ModuleVerB = 0;
    char State = 0; // 'D': listed but not downloaded
    uint8_t Extra[8] = {};

    // Field-by-field copies of the 79 bytes, so a decoded record encodes back to the same bytes.
    static ModuleRecord Decode(const uint8_t* bytes);
    void Encode(uint8_t* bytes) const;
    std::array<uint8_t, kSize> Bytes() const;

    std::string_view Name() const;
    std::string_view Package() const;
};

using ModuleList = std::vector<ModuleRecord>;

// The one process-wide list. Appended by the check client's thread before it posts the message that
// announces it; read by the interface thread only after that message.
ModuleList& GetModuleList();
