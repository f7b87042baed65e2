#include "core/module_list.h"

#include "core/wire.h"

#include <cstring>

ModuleRecord ModuleRecord::Decode(const uint8_t* b) {
    ModuleRecord r;
    std::memcpy(r.PackageNo, b, 11);
    std::memcpy(r.ModuleName, b + 11, 51);
    r.ModuleVerA = wire::LoadU32(b + 62);
    r.ModuleVerB = wire::LoadU32(b + 66);
    r.State = char(b[70]);
    std::memcpy(r.Extra, b + 71, 8);
    return r;
}

void ModuleRecord::Encode(uint8_t* b) const {
    std::memcpy(b, PackageNo, 11);
    std::memcpy(b + 11, ModuleName, 51);
    wire::StoreU32(b + 62, ModuleVerA);
    wire::StoreU32(b + 66, ModuleVerB);
    b[70] = uint8_t(State);
    std::memcpy(b + 71, Extra, 8);
}

std::array<uint8_t, ModuleRecord::kSize> ModuleRecord::Bytes() const {
    std::array<uint8_t, kSize> out{};
    Encode(out.data());
    return out;
}

std::string_view ModuleRecord::Name() const {
    return wire::LoadText(reinterpret_cast<const uint8_t*>(ModuleName), sizeof ModuleName);
}

std::string_view ModuleRecord::Package() const {
    return wire::LoadText(reinterpret_cast<const uint8_t*>(PackageNo), sizeof PackageNo);
}

ModuleList& GetModuleList() {
    static ModuleList list;
    return list;
}
