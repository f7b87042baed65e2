// The publishing service's messages: the update check, the module check and the file download, in both
// directions. The installer encodes the requests and decodes the responses; the publisher does the
// reverse with the same code, so the two sides cannot drift apart.
//
// Every message is the 74-byte header followed by RecCount records of RecSize bytes. Decoders accept a
// message only when every record it claims lies inside the bytes received and every record is at least
// the size the reader needs; otherwise the whole message is refused before any of it is used.
#pragma once

#include "core/module_list.h"
#include "net/message_header.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace messages {

constexpr size_t kHeaderSize = MessageHeader::kSize;
constexpr size_t kMaxMessageSize = 131072; // the packet codec's buffer

enum Type : uint16_t {
    kPkgUpdateCheckReq = 0x3051,
    kPkgUpdateCheckRsp = 0x3052,
    kPkgModuleCheckReq = 0x3061,
    kPkgModuleCheckRsp = 0x3062,
    kFileDownloadReq = 0x3071,
    kFileDownloadRsp = 0x3072,
};

// Record sizes: exact for requests, the minimum a reader needs for responses.
constexpr size_t kUpdateCheckReqSize = 19;
constexpr size_t kUpdateCheckRspSize = 75;
constexpr size_t kModuleCheckReqSize = 60;
constexpr size_t kModuleCheckRspSize = ModuleRecord::kSize;
constexpr size_t kDownloadReqSize = 74;
constexpr size_t kDownloadRspSize = 1229;
constexpr size_t kChunkDataMax = 1001;
// 74 + 1770 x 74 = 131054: the most download records one request may carry.
constexpr size_t kMaxDownloadRecords = (kMaxMessageSize - kHeaderSize) / kDownloadReqSize;

// A received message whose records have been checked to lie inside it.
class RecordView {
  public:
    const MessageHeader& header() const { return header_; }
    size_t count() const { return header_.RecCount; }
    // Record i, RecSize bytes long, i < count().
    const uint8_t* record(size_t i) const { return records_ + i * header_.RecSize; }

    // Checks the header and that RecCount records of RecSize >= minRecordSize bytes fit in len bytes.
    // A message without records passes whatever its RecSize.
    static std::optional<RecordView> Parse(const uint8_t* msg, size_t len, size_t minRecordSize);

  private:
    MessageHeader header_;
    const uint8_t* records_ = nullptr;
};

// Reads MsgType alone (0 when the message is shorter than a header), to pick a decoder.
uint16_t PeekType(const uint8_t* msg, size_t len);

// Builds a message: the header with the given fields (the rest zero) followed by the records.
std::vector<uint8_t> EncodeMessage(const MessageHeader& header, std::span<const uint8_t> records);

// --- update check ---------------------------------------------------------------------------------

struct UpdateCheckRequest {
    std::string PackageNo; // stored cut to the field (10 characters); the installer sends at most 9
    uint32_t VerPart3 = 0;
    uint32_t VerPart4 = 0;
};
std::vector<uint8_t> EncodeUpdateCheckRequest(const UpdateCheckRequest& req); // 93 bytes
std::optional<UpdateCheckRequest> DecodeUpdateCheckRequest(const uint8_t* msg, size_t len);

struct UpdateOffer {
    std::string PackageNo;
    uint32_t VerPart3 = 0;
    uint32_t VerPart4 = 0;
    std::string DownloadAddress; // at most 50 characters
    uint32_t DownloadPort = 0;
    uint8_t Available = 0;
};
struct UpdateCheckResponse {
    uint32_t ErrorCode = 0;
    std::vector<UpdateOffer> Offers;
};
std::vector<uint8_t> EncodeUpdateCheckResponse(const UpdateCheckResponse& rsp,
                                               size_t recordSize = kUpdateCheckRspSize);
std::optional<UpdateCheckResponse> DecodeUpdateCheckResponse(const uint8_t* msg, size_t len);

// --- module check ---------------------------------------------------------------------------------

struct ModuleCheckRequest {
    char ReqKind = 'P';
    std::string PackageNo;
    uint32_t VerPart3 = 0;
    uint32_t VerPart4 = 0;
};
std::vector<uint8_t> EncodeModuleCheckRequest(const ModuleCheckRequest& req); // 134 bytes
std::optional<ModuleCheckRequest> DecodeModuleCheckRequest(const uint8_t* msg, size_t len);

// The service's ErrorCode for a package number or version it does not publish.
constexpr uint32_t kErrorPackageNotOffered = 20;

struct ModuleCheckResponse {
    char LastFlag = '0'; // '0': the last message of the reply
    uint32_t ErrorCode = 0;
    std::vector<ModuleRecord> Modules;
};
std::vector<uint8_t> EncodeModuleCheckResponse(const ModuleCheckResponse& rsp,
                                               size_t recordSize = kModuleCheckRspSize);
std::optional<ModuleCheckResponse> DecodeModuleCheckResponse(const uint8_t* msg, size_t len);
// How many module records of recordSize bytes one response message of at most maxMessage bytes may
// carry. A sender whose packets must survive compression passes the codec's MaxEncodableMessage().
size_t MaxModulesPerMessage(size_t recordSize = kModuleCheckRspSize, size_t maxMessage = kMaxMessageSize);

// --- file download --------------------------------------------------------------------------------

struct DownloadItem {
    std::string PackageNo;  // at most 10 characters are sent
    std::string ModuleName; // at most 50 characters are sent
    uint32_t ModuleVerA = 0;
    uint32_t ModuleVerB = 0;
};
// One message of 74 + 74 x n bytes; n must not exceed kMaxDownloadRecords.
std::vector<uint8_t> EncodeFileDownloadRequest(std::span<const DownloadItem> items);
// Every item, split into messages of at most maxRecords records (never more than kMaxDownloadRecords);
// one empty request when there is nothing to ask for.
std::vector<std::vector<uint8_t>> EncodeFileDownloadRequests(std::span<const DownloadItem> items,
                                                             size_t maxRecords = kMaxDownloadRecords);
std::optional<std::vector<DownloadItem>> DecodeFileDownloadRequest(const uint8_t* msg, size_t len);

// One chunk of one file. When decoded, the views point into the received message.
struct FileChunk {
    std::string_view ModuleName;   // at most 50 characters
    std::string_view FileName;     // at most 58 characters
    std::string_view RelDir;       // at most 100 characters; empty or ending in a backslash
    std::span<const uint8_t> Data; // at most 1001 bytes
    bool ModuleEnd = false;
};
struct FileDownloadResponse {
    uint32_t ErrorCode = 0;
    std::vector<FileChunk> Chunks;
};
// Texts longer than their fields, or more than 1001 bytes of data, are refused (an empty result).
std::optional<std::vector<uint8_t>> EncodeFileDownloadResponse(std::span<const FileChunk> chunks,
                                                               size_t recordSize = kDownloadRspSize);
// Refused whole when a record lies outside the message or a DataLen is outside 0..1001.
std::optional<FileDownloadResponse> DecodeFileDownloadResponse(const uint8_t* msg, size_t len);
// The same into a caller's response, whose chunk list keeps its capacity from message to message;
// false (and the response undefined) when refused.
bool DecodeFileDownloadResponse(const uint8_t* msg, size_t len, FileDownloadResponse& into);
// How many chunks of recordSize bytes one response message of at most maxMessage bytes may carry
// (pass MaxEncodableMessage() for incompressible data).
size_t MaxChunksPerMessage(size_t recordSize = kDownloadRspSize, size_t maxMessage = kMaxMessageSize);

} // namespace messages
