// Tests of the prepared package without sockets: the cache file format, and the preparation of a
// package's files into messages, through the cache folder and past damaged, foreign or stale files.
#include "net/lzo_codec.h"
#include "net/packet_codec.h"
#include "publisher/package/load_package.h"
#include "publisher/prepared/cache_folder.h"
#include "publisher/prepared/message_layout.h"
#include "publisher/prepared/preparation.h"
#include "publisher/prepared/prepared_file.h"
#include "service/messages.h"
#include "tests/publisher/temp_package.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <mutex>

using namespace publisher;
using namespace publisher::testing;
namespace fs = std::filesystem;

namespace {

std::vector<std::vector<uint8_t>> SomeMessages(size_t n) {
    std::vector<std::vector<uint8_t>> out;
    for (size_t i = 0; i < n; ++i)
        out.push_back(Pattern(100 + 37 * i, uint32_t(i + 1)));
    return out;
}

Digest SomeKey(uint8_t seed) {
    Digest d{};
    for (size_t i = 0; i < d.size(); ++i)
        d[i] = uint8_t(seed + i);
    return d;
}

// A package of its own: binary, text-like, empty and exact-chunk files in two modules.
void WriteMixedPackage(const fs::path& root) {
    fs::create_directories(root);
    std::ofstream(root / "package.json") << R"({
  "package": "000185", "version": {"part3": 12, "part4": 3},
  "users": [{"name": "tulip", "password": "tulip"}],
  "modules": [
    {"name": "server", "versionA": 1, "versionB": 2, "folder": "modules/server"},
    {"name": "client", "versionA": 3, "versionB": 4, "folder": "modules/client"}
  ]})";
    WriteFile(root, "modules/server/deps/depend.zip", Pattern(250000, 1));
    WriteFile(root, "modules/server/docs/text.txt", Compressible(400000, 2));
    WriteFile(root, "modules/server/empty.txt", {});
    WriteFile(root, "modules/client/exact.bin", Pattern(1001, 3));
    WriteFile(root, "modules/client/more.txt", Compressible(150000, 4));
}

// A package in a scratch folder with its cache folder beside it, and what its preparations reported.
class PreparedPackage {
  public:
    PreparedPackage() {
        WriteMixedPackage(tmp_.path() / "package");
        Reload();
    }
    void Reload() {
        auto load = LoadPackage(tmp_.path() / "package");
        ASSERT_TRUE(load.ok()) << load.error().message();
        package_ = std::make_shared<const Package>(std::move(*load));
    }
    fs::path PackageDir() const { return tmp_.path() / "package"; }
    fs::path CacheDir() const { return tmp_.path() / "cache"; }
    const Package& package() const { return *package_; }
    const PackageFile& File(const std::string& name) const {
        for (const auto& m : package_->modules)
            for (const auto& f : m.files)
                if (f.fileName == name)
                    return f;
        throw std::runtime_error("no file " + name);
    }

    // The key the file's cache file is named for, from its content now.
    Digest KeyOf(const std::string& name) const {
        const PackageFile& f = File(name);
        for (const auto& m : package_->modules)
            for (size_t i = 0; i < m.files.size(); ++i)
                if (&m.files[i] == &f) {
                    FileStamp stamp;
                    const std::atomic<bool> never{false};
                    auto content = HashFile(f, stamp, never);
                    return PreparedKey(LayoutOf({&m, i}, content.value()));
                }
        throw std::runtime_error("no file " + name);
    }
    fs::path CachePath(const std::string& name) const { return CacheDir() / PreparedFileName(KeyOf(name)); }

    // Prepares the package once, to the end, and keeps what it produced.
    std::shared_ptr<PreparedFiles> Prepare(fs::path dir = {}, unsigned threads = 2) {
        PreparationSettings settings;
        settings.cacheDir = dir.empty() ? CacheDir() : dir;
        settings.threads = threads;
        settings.settle = std::chrono::nanoseconds(0);
        lines_.clear();
        Preparation p(std::make_shared<PreparedFiles>(package_), settings, [this](const std::string& line) {
            std::lock_guard lock(mutex_);
            lines_.push_back(line);
        });
        p.Wait();
        return p.Files();
    }
    std::string Lines() const {
        std::lock_guard lock(mutex_);
        std::string all;
        for (const auto& l : lines_)
            all += l + "\n";
        return all;
    }
    // The cache files in the folder, by name.
    std::vector<fs::path> CacheFiles() const {
        std::vector<fs::path> out;
        for (const auto& e : fs::directory_iterator(CacheDir()))
            out.push_back(e.path());
        std::sort(out.begin(), out.end());
        return out;
    }

  private:
    TempFolder tmp_;
    std::shared_ptr<const Package> package_;
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
};

// What the messages carry when decoded as an installer decodes them: the data of their chunks in
// order, each chunk checked to name `file`.
std::vector<uint8_t> Carried(const CachedFile& entry, const PackageFile& file) {
    std::vector<uint8_t> data;
    std::vector<uint8_t> msg(CodecBuffers::kAreaSize);
    for (const auto& m : entry.messages) {
        size_t len = 0;
        if (!lzo_codec::Decompress(m.data(), m.size(), msg.data(), msg.size(), len))
            return {};
        auto rsp = messages::DecodeFileDownloadResponse(msg.data(), len);
        if (!rsp)
            return {};
        for (const auto& c : rsp->Chunks) {
            if (c.FileName != file.fileName || c.RelDir != file.relDir)
                return {};
            data.insert(data.end(), c.Data.begin(), c.Data.end());
        }
    }
    return data;
}

} // namespace

// Tests that a cache file reads back as written, and that every truncation, every changed byte, another
// key and another file size are refused.
TEST(PreparedFileTest, RoundTripsAndRefusesEveryDamage) {
    const uint64_t fileBytes = (ChunksPerMessage() + 1) * messages::kChunkDataMax; // two messages
    const auto msgs = SomeMessages(2);
    const auto bytes = EncodePreparedFile(SomeKey(1), fileBytes, msgs);
    auto back = ParsePreparedFile(bytes.data(), bytes.size(), SomeKey(1), fileBytes);
    ASSERT_TRUE(back) << back.error().message();
    EXPECT_EQ(*back, msgs);

    for (size_t n = 0; n < bytes.size(); ++n)
        EXPECT_FALSE(ParsePreparedFile(bytes.data(), n, SomeKey(1), fileBytes)) << n;
    for (size_t i = 0; i < bytes.size(); ++i) {
        auto damaged = bytes;
        damaged[i] ^= 0x10;
        EXPECT_FALSE(ParsePreparedFile(damaged.data(), damaged.size(), SomeKey(1), fileBytes)) << i;
    }
    auto longer = bytes;
    longer.push_back(0);
    EXPECT_FALSE(ParsePreparedFile(longer.data(), longer.size(), SomeKey(1), fileBytes));
    EXPECT_EQ(ParsePreparedFile(bytes.data(), bytes.size(), SomeKey(2), fileBytes).error().message(),
              "made for another file or layout");
    EXPECT_FALSE(ParsePreparedFile(bytes.data(), bytes.size(), SomeKey(1), fileBytes + 1));

    // Well-formed, but with a message count the file does not make.
    const auto three = EncodePreparedFile(SomeKey(1), fileBytes, SomeMessages(3));
    EXPECT_FALSE(ParsePreparedFile(three.data(), three.size(), SomeKey(1), fileBytes));
    // A length no packet can carry, with a checksum that holds.
    std::vector<std::vector<uint8_t>> huge{std::vector<uint8_t>(kMaxSendPayload + 1, 7), {1}};
    const auto big = EncodePreparedFile(SomeKey(1), fileBytes, huge);
    EXPECT_EQ(ParsePreparedFile(big.data(), big.size(), SomeKey(1), fileBytes).error().message(),
              "a message length no packet can carry");
}

// Tests that only names of our own pattern count as cache or temporary files, and that each layout
// field changes the key.
TEST(PreparedFileTest, KeysAndNamesFollowTheLayout) {
    PreparedLayout base;
    base.content = SomeKey(9);
    base.size = 5000;
    base.module = "server";
    base.relDir = "deps\\";
    base.fileName = "depend.zip";
    const std::string name = PreparedFileName(PreparedKey(base));
    EXPECT_TRUE(IsPreparedFileName(name));
    EXPECT_FALSE(IsPreparedTempName(name));
    EXPECT_TRUE(IsPreparedTempName(name + ".tmp.1234"));
    const std::vector<std::string> others{name + ".tmp.",
                                          name + ".tmp.12a",
                                          name + "x",
                                          "notes.txt",
                                          "msgs-" + std::string(40, 'g') + ".lzo",
                                          name.substr(0, name.size() - 1)};
    for (const std::string& other : others)
        EXPECT_FALSE(IsPreparedFileName(other) || IsPreparedTempName(other)) << other;

    std::vector<PreparedLayout> changed(6, base);
    changed[0].content[0] ^= 1;
    changed[1].size += 1;
    changed[2].module = "client";
    changed[3].relDir = "";
    changed[4].fileName = "depend.zi";
    changed[5].moduleEnd = true;
    std::set<std::string> names{name};
    for (const auto& l : changed)
        names.insert(PreparedFileName(PreparedKey(l)));
    EXPECT_EQ(names.size(), 7u);
}

// Tests that every file's prepared messages decode to its bytes under its names, and that they are
// smaller than the LZO1X-1 forms of the same messages on data that compresses.
TEST(PreparationTest, PreparedMessagesCarryEachFileExactlyAndBeatTheFastLevel) {
    PreparedPackage p;
    auto files = p.Prepare();
    EXPECT_NE(p.Lines().find("5 of 5 files prepared (0 from the cache folder, 5 compressed"),
              std::string::npos)
        << p.Lines();
    for (const auto& m : p.package().modules) {
        for (const auto& f : m.files) {
            // Every file is kept, the incompressible 250 kB of depend.zip included.
            auto entry = files->Find(&f);
            ASSERT_NE(entry, nullptr) << f.fileName;
            EXPECT_EQ(Carried(*entry, f), ReadFile(f.source)) << f.fileName;
            EXPECT_EQ(entry->messages.size(), PreparedMessageCount(f.size));
        }
    }
    auto text = files->Find(&p.File("text.txt"));
    ASSERT_NE(text, nullptr);
    auto buffers = std::make_unique<CodecBuffers>();
    std::vector<uint8_t> msg(CodecBuffers::kAreaSize);
    size_t fast = 0;
    for (const auto& m : text->messages) {
        size_t len = 0;
        ASSERT_TRUE(lzo_codec::Decompress(m.data(), m.size(), msg.data(), msg.size(), len));
        fast += CompressMessage(msg.data(), len, *buffers);
    }
    EXPECT_LT(text->bytes, fast * 95 / 100) << text->bytes << " against " << fast;
}

// Tests that a second preparation of the same package takes every file from the cache folder, and that
// the check-config inspection finds them all valid.
TEST(PreparationTest, RestartTakesTheCacheFolderWithoutCompressing) {
    PreparedPackage p;
    EXPECT_EQ(InspectCacheFolder(p.package(), p.CacheDir()).prepared, 0u);
    p.Prepare();
    const auto written = p.CacheFiles();
    ASSERT_EQ(written.size(), 5u);
    const auto inspected = InspectCacheFolder(p.package(), p.CacheDir());
    EXPECT_EQ(inspected.prepared, 5u);
    EXPECT_EQ(inspected.total, 5u);
    EXPECT_EQ(inspected.files, 5u);

    auto again = p.Prepare();
    EXPECT_NE(p.Lines().find("5 of 5 files prepared (5 from the cache folder, 0 compressed"),
              std::string::npos)
        << p.Lines();
    EXPECT_EQ(p.CacheFiles(), written);
    auto text = again->Find(&p.File("text.txt"));
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(Carried(*text, p.File("text.txt")), ReadFile(p.File("text.txt").source));
}

// Tests that a cache file with a flipped byte, one cut short, one copied from another file, one of the
// right layout whose messages carry other bytes, and one that is no regular file are each ignored,
// logged and rebuilt, while the others are taken.
TEST(PreparationTest, DamagedForeignOrWrongCacheFilesAreRebuilt) {
    PreparedPackage p;
    p.Prepare();
    const fs::path dir = p.CacheDir();
    const Digest zipKey = p.KeyOf("depend.zip");
    const fs::path text = p.CachePath("text.txt"), more = p.CachePath("more.txt");
    // A copy of another file's good cache file, taken before the damage below.
    fs::copy_file(more, p.CachePath("exact.bin"), fs::copy_options::overwrite_existing);
    auto flipped = ReadFile(text);
    flipped[flipped.size() / 2] ^= 1;
    WriteFile(dir, text.filename(), flipped);
    auto cut = ReadFile(more);
    cut.resize(cut.size() - 100);
    WriteFile(dir, more.filename(), cut);
    // The right key and a checksum that holds, but the messages of other data.
    std::vector<uint8_t> zeros(PreparedMessageCount(250000) * 1000, 0);
    std::vector<std::vector<uint8_t>> wrong;
    auto buffers = std::make_unique<CodecBuffers>();
    for (size_t i = 0; i < PreparedMessageCount(250000); ++i) {
        const size_t l = CompressMessage(zeros.data(), 1000, *buffers);
        wrong.emplace_back(buffers->stage, buffers->stage + l);
    }
    WriteFile(dir, PreparedFileName(zipKey), EncodePreparedFile(zipKey, 250000, wrong));
    WriteFile(dir, p.CachePath("empty.txt").filename(), {'O', 'R', 'V'});

    auto files = p.Prepare();
    const std::string lines = p.Lines();
    EXPECT_NE(lines.find("text.txt: checksum mismatch"), std::string::npos) << lines;
    EXPECT_NE(lines.find("more.txt: truncated"), std::string::npos) << lines;
    EXPECT_NE(lines.find("exact.bin: made for another file or layout"), std::string::npos) << lines;
    EXPECT_NE(lines.find("depend.zip: its messages do not decode to the file's"), std::string::npos) << lines;
    EXPECT_NE(lines.find("empty.txt: shorter than a header"), std::string::npos) << lines;
    EXPECT_NE(lines.find("5 of 5 files prepared (0 from the cache folder, 5 compressed"), std::string::npos)
        << lines;
    for (const char* name : {"text.txt", "more.txt", "exact.bin", "empty.txt"}) {
        auto entry = files->Find(&p.File(name));
        ASSERT_NE(entry, nullptr) << name;
        EXPECT_EQ(Carried(*entry, p.File(name)), ReadFile(p.File(name).source)) << name;
    }
    EXPECT_EQ(InspectCacheFolder(p.package(), p.CacheDir()).prepared, 5u);
}

// Tests that a cache file name held by something else (a folder, which a rename cannot replace) is
// skipped with one line and its file prepared in memory, while the preparation of the rest goes on.
TEST(PreparationTest, UnusableCacheFileNameIsSkippedTheRestPrepared) {
    PreparedPackage p;
    p.Prepare();
    fs::remove(p.CachePath("empty.txt"));
    fs::create_directory(p.CachePath("empty.txt"));
    auto files = p.Prepare(p.CacheDir(), 1);
    const std::string lines = p.Lines();
    EXPECT_EQ(Count(lines, "skipping the cache file name"), 1u) << lines;
    EXPECT_EQ(lines.find("preparation stops"), std::string::npos) << lines;
    EXPECT_NE(lines.find("5 of 5 files prepared"), std::string::npos) << lines;
    EXPECT_NE(files->Find(&p.File("empty.txt")), nullptr);
    auto text = files->Find(&p.File("text.txt"));
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(Carried(*text, p.File("text.txt")), ReadFile(p.File("text.txt").source));
}

// Tests that a file changed after it was prepared is no longer served from its prepared messages, and
// that the next preparation makes new ones for it beside the unchanged files' old ones.
TEST(PreparationTest, ChangedFileIsNotServedFromItsPreparedMessages) {
    PreparedPackage p;
    auto files = p.Prepare();
    const PackageFile& text = p.File("text.txt");
    ASSERT_NE(files->Find(&text), nullptr);
    const uint64_t before = files->Bytes();
    WriteFile(p.PackageDir(), "modules/server/docs/text.txt", Compressible(400000, 99));
    EXPECT_EQ(files->Find(&text), nullptr);
    EXPECT_LT(files->Bytes(), before); // its memory went with it
    EXPECT_NE(files->Find(&p.File("more.txt")), nullptr);

    p.Reload();
    auto next = p.Prepare();
    EXPECT_NE(p.Lines().find("(4 from the cache folder, 1 compressed"), std::string::npos) << p.Lines();
    auto entry = next->Find(&p.File("text.txt"));
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(Carried(*entry, p.File("text.txt")), Compressible(400000, 99));
    // The old text.txt's cache file is no longer used by the package: removed.
    EXPECT_NE(p.Lines().find("1 stale files removed"), std::string::npos) << p.Lines();
    EXPECT_EQ(p.CacheFiles().size(), 5u);
}

// Tests that stale cache files and abandoned temporary files of ours are removed once the package is
// prepared, while files of other names, and a temporary file that may still be written, stay.
TEST(PreparationTest, StaleFilesOfOursGoOthersStay) {
    PreparedPackage p;
    fs::create_directories(p.CacheDir());
    const std::string stale = PreparedFileName(SomeKey(5));
    WriteFile(p.CacheDir(), stale, {1, 2, 3});
    WriteFile(p.CacheDir(), stale + ".tmp.77", {1});
    fs::last_write_time(p.CacheDir() / (stale + ".tmp.77"),
                        fs::file_time_type::clock::now() - std::chrono::hours(2));
    WriteFile(p.CacheDir(), stale + ".tmp.78", {1});
    WriteFile(p.CacheDir(), "notes.txt", {1});
    p.Prepare();
    EXPECT_FALSE(fs::exists(p.CacheDir() / stale));
    EXPECT_FALSE(fs::exists(p.CacheDir() / (stale + ".tmp.77")));
    EXPECT_TRUE(fs::exists(p.CacheDir() / (stale + ".tmp.78")));
    EXPECT_TRUE(fs::exists(p.CacheDir() / "notes.txt"));
    EXPECT_NE(p.Lines().find("2 stale files removed"), std::string::npos) << p.Lines();
}

// Tests that a cache folder that cannot be made leaves every file to be served as it is read.
TEST(PreparationTest, UnusableCacheFolderPreparesNothing) {
    PreparedPackage p;
    WriteFile(p.PackageDir() / "..", "plain-file", {1});
    auto files = p.Prepare(p.PackageDir() / ".." / "plain-file" / "cache");
    EXPECT_EQ(files->Files(), 0u);
    EXPECT_NE(p.Lines().find("cannot use the cache folder"), std::string::npos) << p.Lines();
}

// Tests that a serving thread looking up files while the workers fill the store sees each file either
// not prepared or prepared whole and exact, never in between.
TEST(PreparationTest, ReadersSeeWholeEntriesWhileWorkersFill) {
    PreparedPackage p;
    PreparationSettings settings;
    settings.cacheDir = p.CacheDir();
    settings.threads = 2;
    settings.settle = std::chrono::nanoseconds(0);
    Preparation prep(std::make_shared<PreparedFiles>(std::make_shared<const Package>(p.package())), settings,
                     [](const std::string&) {});
    std::map<const PackageFile*, std::vector<uint8_t>> contents;
    for (const auto& m : prep.Files()->package().modules)
        for (const auto& f : m.files)
            contents[&f] = ReadFile(f.source);
    size_t seen = 0;
    bool done = false;
    for (int round = 0; round < 30000 && !done; ++round) {
        done = prep.Files()->Files() == contents.size(); // every file is kept
        for (const auto& [file, bytes] : contents)
            if (auto entry = prep.Files()->Find(file)) {
                EXPECT_EQ(Carried(*entry, *file), bytes) << file->fileName;
                ++seen;
            }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_TRUE(done);
    prep.Wait();
    EXPECT_GE(seen, 4u);
}

// Tests that a preparation ended early (a reload) leaves no temporary or partial cache file behind.
TEST(PreparationTest, CancelledPreparationLeavesNoPartialFile) {
    PreparedPackage p;
    WriteFile(p.PackageDir(), "modules/server/big.txt", Compressible(6 << 20, 7));
    p.Reload();
    PreparationSettings settings;
    settings.cacheDir = p.CacheDir();
    settings.threads = 2;
    settings.settle = std::chrono::nanoseconds(0);
    std::shared_ptr<PreparedFiles> files;
    {
        Preparation prep(std::make_shared<PreparedFiles>(std::make_shared<const Package>(p.package())),
                         settings, [](const std::string&) {});
        files = prep.Files();
        while (files->Files() == 0)
            std::this_thread::yield();
    } // cancelled and joined here, the big file long before its end
    for (const auto& path : p.CacheFiles()) {
        EXPECT_FALSE(IsPreparedTempName(path.filename().string())) << path;
        const auto bytes = ReadCacheFile(path, 1 << 30);
        ASSERT_TRUE(bytes) << bytes.error().message();
    }
    EXPECT_LT(InspectCacheFolder(p.package(), p.CacheDir()).prepared, 6u);
    EXPECT_EQ(InspectCacheFolder(p.package(), p.CacheDir()).prepared, p.CacheFiles().size());
}
