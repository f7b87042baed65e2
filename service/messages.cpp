#include "service/messages.h"

#include "core/wire.h"

#include <algorithm>
#include <cstring>

namespace messages {
namespace {

// A fixed-width text as a reader takes it: up to the NUL, and never more than width - 1 bytes even
// when the sender filled the whole field.
std::string_view FieldText(const uint8_t* p, size_t width) {
    std::string_view text = wire::LoadText(p, width);
    return text.substr(0, width - 1);
}

std::string FieldString(const uint8_t* p, size_t width) {
    return std::string(FieldText(p, width));
}

// A request or response of `count` zeroed records of `size` bytes, header filled in.
std::vector<uint8_t> Blank(uint16_t type, size_t count, size_t size, char lastFlag = '0',
                           uint32_t error = 0) {
    std::vector<uint8_t> out(kHeaderSize + count * size, 0);
    MessageHeader h;
    h.MsgType = type;
    h.LastFlag = lastFlag;
    h.RecCount = uint16_t(count);
    h.RecSize = uint32_t(size);
    h.ErrorCode = error;
    h.Encode(out.data());
    return out;
}

// A single-record request of exactly `size` body bytes and the given type.
std::optional<RecordView> SingleRecord(const uint8_t* msg, size_t len, uint16_t type, size_t size) {
    auto view = RecordView::Parse(msg, len, size);
    if (!view || view->header().MsgType != type || view->count() != 1)
        return std::nullopt;
    return view;
}

} // namespace

std::optional<RecordView> RecordView::Parse(const uint8_t* msg, size_t len, size_t minRecordSize) {
    if (!msg || len < kHeaderSize)
        return std::nullopt;
    RecordView view;
    if (!view.header_.Decode(msg, len))
        return std::nullopt;
    view.records_ = msg + kHeaderSize;
    if (view.header_.RecCount == 0)
        return view;
    if (view.header_.RecSize < minRecordSize)
        return std::nullopt;
    // 16 x 32 bits cannot overflow 64; compare before any record is touched.
    uint64_t body = uint64_t(view.header_.RecCount) * uint64_t(view.header_.RecSize);
    if (body > len - kHeaderSize)
        return std::nullopt;
    return view;
}

uint16_t PeekType(const uint8_t* msg, size_t len) {
    return msg && len >= kHeaderSize ? PeekMsgType(msg) : 0;
}

std::vector<uint8_t> EncodeMessage(const MessageHeader& header, std::span<const uint8_t> records) {
    std::vector<uint8_t> out(kHeaderSize + records.size(), 0);
    header.Encode(out.data());
    if (!records.empty())
        std::memcpy(out.data() + kHeaderSize, records.data(), records.size());
    return out;
}

// --- update check ---------------------------------------------------------------------------------

std::vector<uint8_t> EncodeUpdateCheckRequest(const UpdateCheckRequest& req) {
    auto out = Blank(kPkgUpdateCheckReq, 1, kUpdateCheckReqSize);
    uint8_t* r = out.data() + kHeaderSize;
    wire::StoreText(r, 11, req.PackageNo);
    wire::StoreU32(r + 11, req.VerPart3);
    wire::StoreU32(r + 15, req.VerPart4);
    return out;
}

std::optional<UpdateCheckRequest> DecodeUpdateCheckRequest(const uint8_t* msg, size_t len) {
    auto view = SingleRecord(msg, len, kPkgUpdateCheckReq, kUpdateCheckReqSize);
    if (!view)
        return std::nullopt;
    const uint8_t* r = view->record(0);
    return UpdateCheckRequest{FieldString(r, 11), wire::LoadU32(r + 11), wire::LoadU32(r + 15)};
}

std::vector<uint8_t> EncodeUpdateCheckResponse(const UpdateCheckResponse& rsp, size_t recordSize) {
    recordSize = std::max(recordSize, kUpdateCheckRspSize);
    auto out = Blank(kPkgUpdateCheckRsp, rsp.Offers.size(), recordSize, '0', rsp.ErrorCode);
    for (size_t i = 0; i < rsp.Offers.size(); ++i) {
        const UpdateOffer& o = rsp.Offers[i];
        uint8_t* r = out.data() + kHeaderSize + i * recordSize;
        wire::StoreText(r, 11, o.PackageNo);
        wire::StoreU32(r + 11, o.VerPart3);
        wire::StoreU32(r + 15, o.VerPart4);
        wire::StoreText(r + 19, 51, o.DownloadAddress);
        wire::StoreU32(r + 70, o.DownloadPort);
        r[74] = o.Available;
    }
    return out;
}

std::optional<UpdateCheckResponse> DecodeUpdateCheckResponse(const uint8_t* msg, size_t len) {
    auto view = RecordView::Parse(msg, len, kUpdateCheckRspSize);
    if (!view || view->header().MsgType != kPkgUpdateCheckRsp)
        return std::nullopt;
    UpdateCheckResponse rsp;
    rsp.ErrorCode = view->header().ErrorCode;
    rsp.Offers.reserve(view->count());
    for (size_t i = 0; i < view->count(); ++i) {
        const uint8_t* r = view->record(i);
        rsp.Offers.push_back(UpdateOffer{FieldString(r, 11), wire::LoadU32(r + 11), wire::LoadU32(r + 15),
                                         FieldString(r + 19, 51), wire::LoadU32(r + 70), r[74]});
    }
    return rsp;
}

// --- module check ---------------------------------------------------------------------------------

std::vector<uint8_t> EncodeModuleCheckRequest(const ModuleCheckRequest& req) {
    auto out = Blank(kPkgModuleCheckReq, 1, kModuleCheckReqSize);
    uint8_t* r = out.data() + kHeaderSize;
    r[0] = uint8_t(req.ReqKind);
    wire::StoreText(r + 1, 11, req.PackageNo);
    wire::StoreU32(r + 12, req.VerPart3);
    wire::StoreU32(r + 16, req.VerPart4);
    // Bytes 20..59 stay zero: reserved.
    return out;
}

std::optional<ModuleCheckRequest> DecodeModuleCheckRequest(const uint8_t* msg, size_t len) {
    auto view = SingleRecord(msg, len, kPkgModuleCheckReq, kModuleCheckReqSize);
    if (!view)
        return std::nullopt;
    const uint8_t* r = view->record(0);
    return ModuleCheckRequest{char(r[0]), FieldString(r + 1, 11), wire::LoadU32(r + 12),
                              wire::LoadU32(r + 16)};
}

std::vector<uint8_t> EncodeModuleCheckResponse(const ModuleCheckResponse& rsp, size_t recordSize) {
    recordSize = std::max(recordSize, kModuleCheckRspSize);
    auto out = Blank(kPkgModuleCheckRsp, rsp.Modules.size(), recordSize, rsp.LastFlag, rsp.ErrorCode);
    for (size_t i = 0; i < rsp.Modules.size(); ++i)
        rsp.Modules[i].Encode(out.data() + kHeaderSize + i * recordSize);
    return out;
}

std::optional<ModuleCheckResponse> DecodeModuleCheckResponse(const uint8_t* msg, size_t len) {
    auto view = RecordView::Parse(msg, len, kModuleCheckRspSize);
    if (!view || view->header().MsgType != kPkgModuleCheckRsp)
        return std::nullopt;
    ModuleCheckResponse rsp;
    rsp.LastFlag = view->header().LastFlag;
    rsp.ErrorCode = view->header().ErrorCode;
    rsp.Modules.reserve(view->count());
    for (size_t i = 0; i < view->count(); ++i)
        rsp.Modules.push_back(ModuleRecord::Decode(view->record(i)));
    return rsp;
}

size_t MaxModulesPerMessage(size_t recordSize, size_t maxMessage) {
    recordSize = std::max(recordSize, kModuleCheckRspSize);
    maxMessage = std::clamp(maxMessage, kHeaderSize, kMaxMessageSize);
    return std::min<size_t>((maxMessage - kHeaderSize) / recordSize, UINT16_MAX);
}

// --- file download --------------------------------------------------------------------------------

std::vector<uint8_t> EncodeFileDownloadRequest(std::span<const DownloadItem> items) {
    if (items.size() > kMaxDownloadRecords)
        items = items.first(kMaxDownloadRecords); // callers split with EncodeFileDownloadRequests
    auto out = Blank(kFileDownloadReq, items.size(), kDownloadReqSize);
    for (size_t i = 0; i < items.size(); ++i) {
        uint8_t* r = out.data() + kHeaderSize + i * kDownloadReqSize;
        // Bytes 0..3 stay zero: reserved.
        wire::StoreText(r + 4, 11, items[i].PackageNo);
        wire::StoreText(r + 15, 51, items[i].ModuleName);
        wire::StoreU32(r + 66, items[i].ModuleVerA);
        wire::StoreU32(r + 70, items[i].ModuleVerB);
    }
    return out;
}

std::vector<std::vector<uint8_t>> EncodeFileDownloadRequests(std::span<const DownloadItem> items,
                                                             size_t maxRecords) {
    maxRecords = std::clamp<size_t>(maxRecords, 1, kMaxDownloadRecords);
    std::vector<std::vector<uint8_t>> out;
    do {
        size_t n = std::min(items.size(), maxRecords);
        out.push_back(EncodeFileDownloadRequest(items.first(n)));
        items = items.subspan(n);
    } while (!items.empty());
    return out;
}

std::optional<std::vector<DownloadItem>> DecodeFileDownloadRequest(const uint8_t* msg, size_t len) {
    auto view = RecordView::Parse(msg, len, kDownloadReqSize);
    if (!view || view->header().MsgType != kFileDownloadReq)
        return std::nullopt;
    std::vector<DownloadItem> items;
    items.reserve(view->count());
    for (size_t i = 0; i < view->count(); ++i) {
        const uint8_t* r = view->record(i);
        items.push_back(DownloadItem{FieldString(r + 4, 11), FieldString(r + 15, 51), wire::LoadU32(r + 66),
                                     wire::LoadU32(r + 70)});
    }
    return items;
}

std::optional<std::vector<uint8_t>> EncodeFileDownloadResponse(std::span<const FileChunk> chunks,
                                                               size_t recordSize) {
    recordSize = std::max(recordSize, kDownloadRspSize);
    if (chunks.size() > MaxChunksPerMessage(recordSize))
        return std::nullopt;
    auto out = Blank(kFileDownloadRsp, chunks.size(), recordSize);
    for (size_t i = 0; i < chunks.size(); ++i) {
        const FileChunk& c = chunks[i];
        if (c.ModuleName.size() > 50 || c.FileName.size() > 58 || c.RelDir.size() > 100 ||
            c.Data.size() > kChunkDataMax)
            return std::nullopt;
        uint8_t* r = out.data() + kHeaderSize + i * recordSize;
        wire::StoreText(r + 4, 51, c.ModuleName);
        wire::StoreText(r + 55, 59, c.FileName);
        wire::StoreText(r + 114, 101, c.RelDir);
        if (!c.Data.empty())
            std::memcpy(r + 215, c.Data.data(), c.Data.size());
        wire::StoreU32(r + 1216, uint32_t(c.Data.size()));
        r[1228] = c.ModuleEnd ? 1 : 0;
    }
    return out;
}

bool DecodeFileDownloadResponse(const uint8_t* msg, size_t len, FileDownloadResponse& rsp) {
    rsp.Chunks.clear();
    auto view = RecordView::Parse(msg, len, kDownloadRspSize);
    if (!view || view->header().MsgType != kFileDownloadRsp)
        return false;
    rsp.ErrorCode = view->header().ErrorCode;
    rsp.Chunks.reserve(view->count());
    for (size_t i = 0; i < view->count(); ++i) {
        const uint8_t* r = view->record(i);
        int32_t dataLen = int32_t(wire::LoadU32(r + 1216));
        if (dataLen < 0 || size_t(dataLen) > kChunkDataMax)
            return false;
        rsp.Chunks.push_back(FileChunk{FieldText(r + 4, 51), FieldText(r + 55, 59), FieldText(r + 114, 101),
                                       std::span<const uint8_t>(r + 215, size_t(dataLen)), r[1228] != 0});
    }
    return true;
}

std::optional<FileDownloadResponse> DecodeFileDownloadResponse(const uint8_t* msg, size_t len) {
    FileDownloadResponse rsp;
    if (!DecodeFileDownloadResponse(msg, len, rsp))
        return std::nullopt;
    return rsp;
}

size_t MaxChunksPerMessage(size_t recordSize, size_t maxMessage) {
    recordSize = std::max(recordSize, kDownloadRspSize);
    maxMessage = std::clamp(maxMessage, kHeaderSize, kMaxMessageSize);
    return std::min<size_t>((maxMessage - kHeaderSize) / recordSize, UINT16_MAX);
}

} // namespace messages
