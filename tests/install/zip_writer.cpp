#include "tests/install/zip_writer.h"

#include "core/unique_file.h"
#include "core/wire.h"

#include <zlib.h>

#include <cstdio>

namespace {

std::string RawDeflate(const std::string& data) {
    z_stream z = {};
    deflateInit2(&z, Z_BEST_COMPRESSION, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
    std::string out(deflateBound(&z, uLong(data.size())) + 16, '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    z.avail_in = uInt(data.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = uInt(out.size());
    deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

void Put16(std::vector<uint8_t>& out, uint16_t v) {
    uint8_t b[2];
    wire::StoreU16(b, v);
    out.insert(out.end(), b, b + 2);
}

void Put32(std::vector<uint8_t>& out, uint32_t v) {
    uint8_t b[4];
    wire::StoreU32(b, v);
    out.insert(out.end(), b, b + 4);
}

void PutText(std::vector<uint8_t>& out, const std::string& s) {
    out.insert(out.end(), s.begin(), s.end());
}

} // namespace

std::vector<uint8_t> BuildZip(const std::vector<ZipEntrySpec>& entries, const std::string& leading) {
    std::vector<uint8_t> out, central;
    for (const ZipEntrySpec& e : entries) {
        const std::string stored = e.deflate ? RawDeflate(e.data) : e.data;
        uint32_t crc = uint32_t(crc32(0, reinterpret_cast<const Bytef*>(e.data.data()), uInt(e.data.size())));
        if (e.crcOverride)
            crc = *e.crcOverride;
        const uint16_t method = e.deflate ? 8 : 0;
        const uint32_t offset = uint32_t(out.size());

        Put32(out, 0x04034b50);
        Put16(out, 20);
        Put16(out, e.flags);
        Put16(out, method);
        Put16(out, e.dosTime);
        Put16(out, e.dosDate);
        Put32(out, crc);
        Put32(out, uint32_t(stored.size()));
        Put32(out, uint32_t(e.data.size()));
        Put16(out, uint16_t(e.name.size()));
        Put16(out, 0);
        PutText(out, e.name);
        PutText(out, stored);

        Put32(central, 0x02014b50);
        Put16(central, 20);
        Put16(central, 20);
        Put16(central, e.flags);
        Put16(central, method);
        Put16(central, e.dosTime);
        Put16(central, e.dosDate);
        Put32(central, crc);
        Put32(central, uint32_t(stored.size()));
        Put32(central, uint32_t(e.data.size()));
        Put16(central, uint16_t(e.name.size()));
        Put16(central, 0);
        Put16(central, 0);
        Put16(central, 0);
        Put16(central, 0);
        Put32(central, e.externalAttributes);
        Put32(central, offset);
        PutText(central, e.name);
    }
    const uint32_t centralOffset = uint32_t(out.size());
    out.insert(out.end(), central.begin(), central.end());
    Put32(out, 0x06054b50);
    Put16(out, 0);
    Put16(out, 0);
    Put16(out, uint16_t(entries.size()));
    Put16(out, uint16_t(entries.size()));
    Put32(out, uint32_t(central.size()));
    Put32(out, centralOffset);
    Put16(out, 0);
    out.insert(out.begin(), leading.begin(), leading.end());
    return out;
}

bool WriteZip(const std::string& path, const std::vector<ZipEntrySpec>& entries, const std::string& leading) {
    const std::vector<uint8_t> bytes = BuildZip(entries, leading);
    UniqueFile f(std::fopen(path.c_str(), "wb"));
    if (!f)
        return false;
    const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f.Get()) == bytes.size();
    return f.Close() && ok;
}
