// Tests of how module files are cut into download chunks.
#include "publisher/package/load_package.h"
#include "publisher/prepared/chunk_stream.h"
#include "tests/publisher/temp_package.h"

#include <gtest/gtest.h>

#include <fstream>
#include <functional>

using namespace publisher;
using namespace publisher::testing;

namespace {

struct Seen {
    std::string module, file, dir;
    std::vector<uint8_t> data;
    bool end;
};

std::vector<Seen> Drain(ChunkStream& stream, size_t perCall) {
    std::vector<Seen> seen;
    std::vector<messages::FileChunk> chunks;
    while (stream.Active()) {
        chunks.clear();
        const Status next = stream.Next(chunks, perCall);
        EXPECT_TRUE(next) << next.error().message();
        EXPECT_LE(chunks.size(), perCall);
        // A call never mixes files: that keeps a file's messages the same in every download.
        for (const auto& c : chunks)
            EXPECT_TRUE(c.FileName == chunks[0].FileName && c.RelDir == chunks[0].RelDir &&
                        c.ModuleName == chunks[0].ModuleName);
        for (const auto& c : chunks)
            seen.push_back({std::string(c.ModuleName),
                            std::string(c.FileName),
                            std::string(c.RelDir),
                            {c.Data.begin(), c.Data.end()},
                            c.ModuleEnd});
    }
    return seen;
}

} // namespace

// Tests the chunk boundaries at 0, 1, 1001 and 1002 bytes, ModuleEnd only on a module's last chunk,
// and the ModuleEnd carrier of a module without files, whatever the chunks per call.
TEST(ChunkStreamTest, CutsFilesAtChunkBoundaries) {
    TempFolder tmp;
    WriteStandardPackage(tmp.path());
    auto load = LoadPackage(tmp.path());
    ASSERT_TRUE(load.ok()) << load.error().message();
    const Package& p = *load;

    for (size_t perCall : {size_t(1), size_t(3), size_t(100)}) {
        ChunkStream stream;
        stream.Enqueue(p.FindModule("client"));
        stream.Enqueue(p.FindModule("docs"));
        stream.Enqueue(p.FindModule("server"));
        std::vector<Seen> seen = Drain(stream, perCall);
        size_t zipChunks = (3 * 1024 * 1024 + 17 + 1000) / 1001;
        ASSERT_EQ(seen.size(), 2 + 1 + 2 + zipChunks + 1);
        // client: exact.bin in one full chunk, then one.bin, which ends the module.
        EXPECT_EQ(seen[0].file, "exact.bin");
        EXPECT_EQ(seen[0].data, Pattern(1001, 3));
        EXPECT_FALSE(seen[0].end);
        EXPECT_EQ(seen[1].file, "one.bin");
        EXPECT_TRUE(seen[1].end);
        // docs: no files, one empty chunk naming the harmless placeholder.
        EXPECT_EQ(seen[2].module, "docs");
        EXPECT_EQ(seen[2].file, kEmptyModuleFile);
        EXPECT_EQ(seen[2].dir, "");
        EXPECT_TRUE(seen[2].data.empty());
        EXPECT_TRUE(seen[2].end);
        // server: deep.bin of 1002 bytes is 1001 + 1.
        EXPECT_EQ(seen[3].dir, "deps\\a\\b\\c\\");
        EXPECT_EQ(seen[3].data.size(), 1001u);
        EXPECT_EQ(seen[4].data.size(), 1u);
        std::vector<uint8_t> zip;
        for (size_t i = 5; i < 5 + zipChunks; ++i) {
            EXPECT_EQ(seen[i].file, "depend.zip");
            EXPECT_FALSE(seen[i].end);
            zip.insert(zip.end(), seen[i].data.begin(), seen[i].data.end());
        }
        EXPECT_EQ(zip, Pattern(3 * 1024 * 1024 + 17, 1));
        // The empty file is one chunk of no data, and it ends the module.
        const Seen& last = seen.back();
        EXPECT_EQ(last.file, "empty.txt");
        EXPECT_TRUE(last.data.empty());
        EXPECT_TRUE(last.end);
        EXPECT_EQ(stream.BytesRead(), p.modules[0].bytes + p.modules[1].bytes);
    }
}

// Tests that a file removed after loading stops the stream with an error naming it, once the stream
// reaches it.
TEST(ChunkStreamTest, ReportsAFileThatVanished) {
    TempFolder tmp;
    WriteStandardPackage(tmp.path());
    auto load = LoadPackage(tmp.path());
    ASSERT_TRUE(load.ok());
    std::filesystem::remove(tmp.path() / "modules/client/one.bin");
    ChunkStream stream;
    stream.Enqueue(load->FindModule("client"));
    std::vector<messages::FileChunk> chunks;
    ASSERT_TRUE(stream.Next(chunks, 10));
    EXPECT_EQ(chunks.at(0).FileName, "exact.bin");
    EXPECT_TRUE(stream.FileFinished());
    const Status failed = stream.Next(chunks, 10);
    ASSERT_FALSE(failed);
    EXPECT_NE(failed.error().message().find("one.bin"), std::string::npos);
    EXPECT_FALSE(stream.Active());
}

// Tests that a file that grows, shrinks or is rewritten in place while it is streamed ends the stream
// with an error, and that none of its chunks carried the module's end.
TEST(ChunkStreamTest, StopsAtAFileThatChangesWhileSent) {
    const std::function<void(const std::filesystem::path&)> changes[] = {
        [](const std::filesystem::path& p) { std::ofstream(p, std::ios::app) << "x"; },
        [](const std::filesystem::path& p) { std::filesystem::resize_file(p, 5000); },
        [](const std::filesystem::path& p) {
            // Same size, new bytes: only the times tell.
            std::fstream f(p, std::ios::in | std::ios::out | std::ios::binary);
            f.seekp(100);
            f << "changed";
        },
    };
    for (const auto& change : changes) {
        TempFolder tmp;
        WriteStandardPackage(tmp.path());
        // An hour old, so that a rewrite within the clock's tick still moves the time.
        const auto zip = tmp.path() / "modules/server/deps/depend.zip";
        std::filesystem::last_write_time(zip, std::filesystem::last_write_time(zip) - std::chrono::hours(1));
        auto load = LoadPackage(tmp.path());
        ASSERT_TRUE(load.ok());
        ChunkStream stream;
        stream.Enqueue(load->FindModule("server")); // deps\a\b\c\deep.bin, deps\depend.zip, ...
        std::vector<messages::FileChunk> chunks;
        ASSERT_TRUE(stream.Next(chunks, 10)); // deep.bin whole
        ASSERT_TRUE(stream.Next(chunks, 10)); // depend.zip begins
        ASSERT_EQ(chunks.back().FileName, "depend.zip");
        change(zip);
        Status r = Ok();
        while (r && stream.Active())
            r = stream.Next(chunks, 10);
        ASSERT_FALSE(r);
        EXPECT_NE(r.error().message().find("depend.zip: changed while it was sent"), std::string::npos)
            << r.error().message();
        EXPECT_FALSE(stream.Active());
        for (const auto& c : chunks)
            EXPECT_FALSE(c.ModuleEnd);
    }
}

// Tests that the manifest, linked into a module folder in place of a file after the package was
// loaded, is refused when the stream reaches it.
TEST(ChunkStreamTest, NeverSendsTheManifest) {
    TempFolder tmp;
    WriteStandardPackage(tmp.path());
    auto load = LoadPackage(tmp.path());
    ASSERT_TRUE(load.ok());
    const auto one = tmp.path() / "modules/client/one.bin";
    std::filesystem::remove(one);
    std::filesystem::create_hard_link(tmp.path() / "package.json", one);
    ChunkStream stream;
    stream.Forbid(load->manifestDevice, load->manifestInode);
    stream.Enqueue(load->FindModule("client"));
    std::vector<messages::FileChunk> chunks;
    ASSERT_TRUE(stream.Next(chunks, 10)); // exact.bin
    const Status failed = stream.Next(chunks, 10);
    ASSERT_FALSE(failed);
    EXPECT_NE(failed.error().message().find("one.bin: cannot be read: it is the manifest"), std::string::npos)
        << failed.error().message();
}
