// Feeds arbitrary bytes to every decoder of the publishing messages. Whatever a decoder accepts must
// lie inside the input and must encode back to a message that decodes to the same content.
#include "service/messages.h"

#include <cstdlib>
#include <cstring>

using namespace messages;

namespace {

void Check(bool ok) {
    if (!ok)
        std::abort();
}

bool Inside(const void* p, size_t n, const uint8_t* data, size_t size) {
    auto b = static_cast<const uint8_t*>(p);
    return n == 0 || (b >= data && b + n <= data + size);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (auto rsp = DecodeUpdateCheckResponse(data, size)) {
        auto bytes = EncodeUpdateCheckResponse(*rsp);
        auto again = DecodeUpdateCheckResponse(bytes.data(), bytes.size());
        Check(again && again->Offers.size() == rsp->Offers.size() && again->ErrorCode == rsp->ErrorCode);
        for (size_t i = 0; i < rsp->Offers.size(); ++i) {
            Check(rsp->Offers[i].DownloadAddress.size() <= 50);
            Check(again->Offers[i].DownloadAddress == rsp->Offers[i].DownloadAddress);
        }
    }
    if (auto rsp = DecodeModuleCheckResponse(data, size)) {
        auto bytes = EncodeModuleCheckResponse(*rsp);
        auto again = DecodeModuleCheckResponse(bytes.data(), bytes.size());
        Check(again && again->Modules.size() == rsp->Modules.size() && again->LastFlag == rsp->LastFlag);
        for (size_t i = 0; i < rsp->Modules.size(); ++i)
            Check(again->Modules[i].Bytes() == rsp->Modules[i].Bytes());
    }
    if (auto rsp = DecodeFileDownloadResponse(data, size)) {
        for (const FileChunk& c : rsp->Chunks) {
            Check(c.Data.size() <= kChunkDataMax && Inside(c.Data.data(), c.Data.size(), data, size));
            Check(Inside(c.FileName.data(), c.FileName.size(), data, size) && c.FileName.size() <= 58);
            Check(Inside(c.RelDir.data(), c.RelDir.size(), data, size) && c.RelDir.size() <= 100);
            Check(c.ModuleName.size() <= 50);
        }
        auto bytes = EncodeFileDownloadResponse(rsp->Chunks);
        if (bytes) {
            auto again = DecodeFileDownloadResponse(bytes->data(), bytes->size());
            Check(again && again->Chunks.size() == rsp->Chunks.size());
            for (size_t i = 0; i < rsp->Chunks.size(); ++i)
                Check(again->Chunks[i].Data.size() == rsp->Chunks[i].Data.size() &&
                      std::memcmp(again->Chunks[i].Data.data(), rsp->Chunks[i].Data.data(),
                                  rsp->Chunks[i].Data.size()) == 0 &&
                      again->Chunks[i].RelDir == rsp->Chunks[i].RelDir &&
                      again->Chunks[i].ModuleEnd == rsp->Chunks[i].ModuleEnd);
        } else {
            Check(rsp->Chunks.size() > MaxChunksPerMessage()); // only too many chunks may refuse
        }
    }
    if (auto req = DecodeUpdateCheckRequest(data, size))
        Check(EncodeUpdateCheckRequest(*req).size() == 93);
    if (auto req = DecodeModuleCheckRequest(data, size))
        Check(EncodeModuleCheckRequest(*req).size() == 134);
    if (auto items = DecodeFileDownloadRequest(data, size))
        for (const auto& part : EncodeFileDownloadRequests(*items))
            Check(part.size() <= kMaxMessageSize);
    return 0;
}
