// Tests of the publishing messages: exact request bytes, and responses refused whole when they lie.
#include "service/messages.h"

#include "core/wire.h"
#include "test_module.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace messages;

namespace {

std::vector<uint8_t> Header74(uint16_t type, char last, uint16_t count, uint32_t size, uint32_t error = 0) {
    std::vector<uint8_t> h(74, 0);
    wire::StoreU16(&h[6], type);
    h[8] = uint8_t(last);
    wire::StoreU16(&h[9], count);
    wire::StoreU32(&h[11], size);
    wire::StoreU32(&h[70], error);
    return h;
}

// A record whose bytes beyond the named fields are not zero, so a round trip must carry them too.
ModuleRecord ModuleWithExtra(const char* name, uint32_t a, uint32_t b, char state) {
    ModuleRecord m = Module(name, a, b, state);
    m.Extra[7] = 0xEE;
    return m;
}

} // namespace

// Tests that the update-check request for "000185" at version 0.0 is exactly the 93 bytes agreed.
TEST(RequestBytesTest, UpdateCheckIs93Bytes) {
    auto msg = EncodeUpdateCheckRequest({"000185", 0, 0});
    std::vector<uint8_t> expect = Header74(0x3051, '0', 1, 19);
    const char pkg[11] = "000185";
    expect.insert(expect.end(), pkg, pkg + 11);
    expect.resize(93, 0);
    EXPECT_EQ(msg, expect);

    auto back = DecodeUpdateCheckRequest(msg.data(), msg.size());
    ASSERT_TRUE(back);
    EXPECT_EQ(back->PackageNo, "000185");
    auto versioned = EncodeUpdateCheckRequest({"000185", 7, 0x01020304});
    EXPECT_EQ(wire::LoadU32(&versioned[74 + 11]), 7u);
    EXPECT_EQ(wire::LoadU32(&versioned[74 + 15]), 0x01020304u);
}

// Tests that the module-check request is 134 bytes, starts with 'P' and keeps its 40 reserved bytes zero.
TEST(RequestBytesTest, ModuleCheckIs134Bytes) {
    auto msg = EncodeModuleCheckRequest({'P', "000185", 9, 12});
    ASSERT_EQ(msg.size(), 134u);
    EXPECT_EQ(msg, [] {
        auto e = Header74(0x3061, '0', 1, 60);
        e.resize(134, 0);
        e[74] = 'P';
        std::memcpy(&e[75], "000185", 6);
        e[86] = 9;
        e[90] = 12;
        return e;
    }());
    auto back = DecodeModuleCheckRequest(msg.data(), msg.size());
    ASSERT_TRUE(back);
    EXPECT_EQ(back->ReqKind, 'P');
    EXPECT_EQ(back->VerPart3, 9u);
    EXPECT_EQ(back->VerPart4, 12u);
}

// Tests that a download request holds one 74-byte record per module with names cut to their fields,
// and that zero modules still give a 74-byte header with RecSize 74.
TEST(RequestBytesTest, DownloadRequestRecords) {
    auto empty = EncodeFileDownloadRequest({});
    EXPECT_EQ(empty, Header74(0x3071, '0', 0, 74));

    std::vector<DownloadItem> items = {{"0001850000XYZ", std::string(60, 'n'), 1, 2},
                                       {"000185", "core", 3, 4}};
    auto msg = EncodeFileDownloadRequest(items);
    ASSERT_EQ(msg.size(), 74u + 2 * 74);
    const uint8_t* r0 = &msg[74];
    EXPECT_EQ(wire::LoadU32(r0), 0u);
    EXPECT_EQ(wire::LoadText(r0 + 4, 11), "0001850000");
    EXPECT_EQ(wire::LoadText(r0 + 15, 51), std::string(50, 'n'));
    EXPECT_EQ(wire::LoadU32(r0 + 66), 1u);
    EXPECT_EQ(wire::LoadU32(r0 + 70), 2u);
    auto back = DecodeFileDownloadRequest(msg.data(), msg.size());
    ASSERT_TRUE(back);
    ASSERT_EQ(back->size(), 2u);
    EXPECT_EQ((*back)[1].ModuleName, "core");
    EXPECT_EQ((*back)[1].ModuleVerB, 4u);
}

// Tests that more than 1770 modules are split so that no request passes the 131072-byte limit.
TEST(RequestBytesTest, LargeDownloadIsSplit) {
    std::vector<DownloadItem> items(1771 * 2 + 5, DownloadItem{"000185", "m", 1, 1});
    auto parts = EncodeFileDownloadRequests(items);
    ASSERT_EQ(parts.size(), 3u);
    size_t total = 0;
    for (const auto& p : parts) {
        EXPECT_LE(p.size(), kMaxMessageSize);
        total += wire::LoadU16(&p[9]);
    }
    EXPECT_EQ(total, items.size());
    EXPECT_EQ(parts[0].size(), 74u + 1770 * 74);
    EXPECT_EQ(EncodeFileDownloadRequests({}).size(), 1u);
    EXPECT_EQ(EncodeFileDownloadRequests(items, 1000).size(), 4u); // a sender's tighter limit

    // Response sizing keeps every message within the limit a sender names.
    EXPECT_EQ(MaxChunksPerMessage(), 106u);
    EXPECT_LE(74 + MaxChunksPerMessage(1300, 100000) * 1300, 100000u);
    EXPECT_EQ(MaxModulesPerMessage(), (131072u - 74) / 79);
}

// Tests that update-check answers decode every record, walk by RecSize, and cut a full address to 50.
TEST(ResponseDecodeTest, UpdateCheckRecords) {
    UpdateCheckResponse rsp;
    rsp.ErrorCode = 5;
    rsp.Offers = {{"000185", 1, 2, std::string(70, '9'), 0x10000 + 31712, 1},
                  {"000185", 3, 4, "10.0.0.1", 80, 0}};
    auto msg = EncodeUpdateCheckResponse(rsp, 90);
    ASSERT_EQ(msg.size(), 74u + 2 * 90);
    auto back = DecodeUpdateCheckResponse(msg.data(), msg.size());
    ASSERT_TRUE(back);
    EXPECT_EQ(back->ErrorCode, 5u);
    ASSERT_EQ(back->Offers.size(), 2u);
    EXPECT_EQ(back->Offers[0].DownloadAddress, std::string(50, '9'));
    EXPECT_EQ(back->Offers[0].DownloadPort, 0x10000u + 31712);
    EXPECT_EQ(back->Offers[1].DownloadAddress, "10.0.0.1");
    EXPECT_EQ(back->Offers[1].Available, 0);

    // A 51-byte address with no NUL at all is still cut to 50.
    std::memset(&msg[74 + 19], 'a', 51);
    EXPECT_EQ(DecodeUpdateCheckResponse(msg.data(), msg.size())->Offers[0].DownloadAddress,
              std::string(50, 'a'));
}

// Tests that module-check answers keep the 79 bytes of each record exactly and carry the LastFlag.
TEST(ResponseDecodeTest, ModuleCheckRecords) {
    ModuleCheckResponse rsp;
    rsp.LastFlag = '1';
    rsp.Modules = {ModuleWithExtra("core", 1, 2, 'U'), ModuleWithExtra("docs", 3, 4, 'D')};
    auto msg = EncodeModuleCheckResponse(rsp, 100);
    auto back = DecodeModuleCheckResponse(msg.data(), msg.size());
    ASSERT_TRUE(back);
    EXPECT_EQ(back->LastFlag, '1');
    ASSERT_EQ(back->Modules.size(), 2u);
    EXPECT_EQ(back->Modules[1].Bytes(), rsp.Modules[1].Bytes());
    EXPECT_EQ(back->Modules[0].Name(), "core");
}

// Tests that download chunks decode their texts and data, and that a record larger than 1229 bytes is
// walked by RecSize.
TEST(ResponseDecodeTest, DownloadChunks) {
    std::vector<uint8_t> data(1001, 0x5A);
    std::vector<FileChunk> chunks = {{"core", "a.dll", "bin\\", data, false},
                                     {"core", "b.txt", "", {}, true}};
    auto msg = EncodeFileDownloadResponse(chunks, 1300);
    ASSERT_TRUE(msg);
    ASSERT_EQ(msg->size(), 74u + 2 * 1300);
    EXPECT_EQ(wire::LoadU32(&(*msg)[74 + 1216]), 1001u);
    auto back = DecodeFileDownloadResponse(msg->data(), msg->size());
    ASSERT_TRUE(back);
    ASSERT_EQ(back->Chunks.size(), 2u);
    EXPECT_EQ(back->Chunks[0].RelDir, "bin\\");
    EXPECT_EQ(back->Chunks[0].FileName, "a.dll");
    EXPECT_TRUE(
        std::equal(data.begin(), data.end(), back->Chunks[0].Data.begin(), back->Chunks[0].Data.end()));
    EXPECT_EQ(back->Chunks[1].FileName, "b.txt");
    EXPECT_TRUE(back->Chunks[1].Data.empty());
    EXPECT_TRUE(back->Chunks[1].ModuleEnd);

    // Fields that would not fit their widths are refused rather than silently cut.
    std::vector<FileChunk> longName = {{"core", std::string(59, 'f'), "", {}, false}};
    EXPECT_FALSE(EncodeFileDownloadResponse(longName));
}

// Tests that a response whose records do not lie inside the message, whose RecSize is below the
// minimum, or whose DataLen is outside 0..1001 is refused whole.
TEST(ResponseDecodeTest, LyingResponsesAreRefused) {
    ModuleCheckResponse mods;
    mods.Modules = {ModuleWithExtra("core", 1, 2, 'U'), ModuleWithExtra("docs", 3, 4, 'U')};
    auto msg = EncodeModuleCheckResponse(mods);
    EXPECT_FALSE(DecodeModuleCheckResponse(msg.data(), msg.size() - 1)); // last record cut short
    EXPECT_FALSE(DecodeModuleCheckResponse(msg.data(), 73));             // not even a header
    auto small = msg;
    wire::StoreU32(&small[11], 78); // records claimed smaller than a ModuleRecord
    EXPECT_FALSE(DecodeModuleCheckResponse(small.data(), small.size()));
    auto huge = msg;
    wire::StoreU16(&huge[9], 0xFFFF);
    wire::StoreU32(&huge[11], 0xFFFFFFFF); // the product must not wrap round
    EXPECT_FALSE(DecodeModuleCheckResponse(huge.data(), huge.size()));
    EXPECT_FALSE(DecodeUpdateCheckResponse(msg.data(), msg.size())); // wrong type

    std::vector<FileChunk> chunks = {{"core", "a", "", {}, false}, {"core", "b", "", {}, true}};
    auto dl = *EncodeFileDownloadResponse(chunks);
    for (int32_t bad : {-1, 1002, INT32_MIN}) {
        auto copy = dl;
        wire::StoreU32(&copy[74 + 1229 + 1216], uint32_t(bad)); // second record only
        EXPECT_FALSE(DecodeFileDownloadResponse(copy.data(), copy.size())) << bad;
    }
    auto ok = DecodeFileDownloadResponse(dl.data(), dl.size());
    ASSERT_TRUE(ok);
    EXPECT_EQ(ok->Chunks.size(), 2u);
}

// Tests that a response without records is accepted whatever its RecSize and keeps its header fields.
TEST(ResponseDecodeTest, EmptyResponseKeepsHeader) {
    auto msg = Header74(0x3052, '0', 0, 3, 5);
    auto rsp = DecodeUpdateCheckResponse(msg.data(), msg.size());
    ASSERT_TRUE(rsp);
    EXPECT_TRUE(rsp->Offers.empty());
    EXPECT_EQ(rsp->ErrorCode, 5u);
    auto last = Header74(0x3062, '0', 0, 0);
    ASSERT_TRUE(DecodeModuleCheckResponse(last.data(), last.size()));
    EXPECT_EQ(PeekType(last.data(), last.size()), 0x3062);
    EXPECT_EQ(PeekType(last.data(), 10), 0);
}
