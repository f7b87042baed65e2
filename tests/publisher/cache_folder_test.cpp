// Tests of the cache folder in the running publisher: its size limit, a name in it that cannot be
// used, and temporary files that never meet another writer's.
#include "publisher/prepared/cache_folder.h"
#include "tests/publisher/installer_steps.h"
#include "tests/publisher/publisher_process.h"
#include "tests/publisher/temp_package.h"

#include <gtest/gtest.h>

#include <fstream>
#include <thread>
#include <unistd.h>

using namespace publisher::testing;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

std::vector<std::string> Serve(const fs::path& package, const fs::path& work,
                               std::vector<std::string> extra) {
    std::vector<std::string> args{"--package",   package.string(),
                                  "--check",     "127.0.0.1:0",
                                  "--download",  "127.0.0.1:0",
                                  "--log",       (work / "events.log").string(),
                                  "--cache-dir", (work / "cache").string()};
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
}

uint64_t FolderBytes(const fs::path& dir) {
    uint64_t bytes = 0;
    for (const auto& e : fs::directory_iterator(dir))
        if (e.is_regular_file())
            bytes += e.file_size();
    return bytes;
}

} // namespace

// Tests that the cache folder stays within --cache-max-mib: the 3 MiB file that does not fit is
// prepared in memory only, said once in the log, and installs are still byte for byte.
TEST(CacheFolderTest, TheFolderStaysWithinItsLimit) {
    TempFolder package, work;
    WriteStandardPackage(package.path());
    PublisherProcess p(
        Serve(package.path(), work.path(), {"--cache-max-mib", "1", "--prepare-threads", "1"}));
    ASSERT_TRUE(p.started());
    ASSERT_TRUE(WaitForFileText(work.path() / "events.log", "files prepared ("))
        << TextOf(work.path() / "events.log");
    const std::string log = TextOf(work.path() / "events.log");
    EXPECT_EQ(Count(log, "would exceed its limit of 1048576 bytes"), 1u) << log;
    EXPECT_NE(log.find("5 of 5 files prepared"), std::string::npos) << log;
    EXPECT_LE(FolderBytes(work.path() / "cache"), 1u << 20);
    ASSERT_TRUE(Install(p.checkPort(), work.path() / "installed"));
    EXPECT_EQ(ListTree(work.path() / "installed"), ExpectedDownload(package.path()));
    EXPECT_EQ(p.Stop(), 0);
}

// Tests that a name in the cache folder held by something else (here a folder with a file in it) is
// skipped and logged, its file prepared in memory, while every other file is still written and read back
// at the next start: one bad name no longer stops the preparation of the rest.
TEST(CacheFolderTest, AnUnusableNameIsSkippedNotFatal) {
    TempFolder package, work;
    WriteStandardPackage(package.path());
    const fs::path log = work.path() / "events.log";
    const auto args = Serve(package.path(), work.path(), {"--prepare-threads", "1"});
    {
        PublisherProcess first(args);
        ASSERT_TRUE(first.started());
        ASSERT_TRUE(WaitForFileText(log, "files prepared (")) << TextOf(log);
        EXPECT_EQ(first.Stop(), 0);
    }
    std::vector<fs::path> names;
    for (const auto& e : fs::directory_iterator(work.path() / "cache"))
        names.push_back(e.path());
    ASSERT_EQ(names.size(), 5u);
    std::sort(names.begin(), names.end());
    fs::remove(names[0]);
    fs::create_directory(names[0]);
    std::ofstream(names[0] / "someone-elses") << "x";
    fs::remove(log);

    PublisherProcess second(args);
    ASSERT_TRUE(second.started());
    ASSERT_TRUE(WaitForFileText(log, "files prepared (")) << TextOf(log);
    const std::string text = TextOf(log);
    EXPECT_EQ(Count(text, "skipping the cache file name " + names[0].filename().string()), 1u) << text;
    EXPECT_EQ(text.find("preparation stops"), std::string::npos) << text;
    EXPECT_NE(text.find("5 of 5 files prepared (4 from the cache folder, 1 compressed"), std::string::npos)
        << text;
    EXPECT_NE(text.find("1 files in memory only"), std::string::npos) << text;
    ASSERT_TRUE(Install(second.checkPort(), work.path() / "installed"));
    EXPECT_EQ(ListTree(work.path() / "installed"), ExpectedDownload(package.path()));
    EXPECT_EQ(second.Stop(), 0);
}

// Tests that a cache file is written through a temporary file of its own: another writer's temporary
// file of the same cache name (left by a publisher of the same process id, as in two containers sharing
// the folder) is neither truncated nor renamed into place.
TEST(CacheFolderTest, TemporaryFilesAreNeverShared) {
    TempFolder dir;
    const std::string name = std::string(64, 'a') + ".prep";
    const fs::path theirs = dir.path() / (name + ".tmp." + std::to_string(::getpid()));
    std::ofstream(theirs) << "another writer's half-written file";
    const Status written = publisher::WriteCacheFile(dir.path(), name, {1, 2, 3});
    ASSERT_TRUE(written) << written.error().message();
    EXPECT_EQ(TextOf(theirs), "another writer's half-written file");
    EXPECT_EQ(ReadFile(dir.path() / name), (std::vector<uint8_t>{1, 2, 3}));
    size_t files = 0;
    for ([[maybe_unused]] const auto& e : fs::directory_iterator(dir.path()))
        ++files;
    EXPECT_EQ(files, 2u); // ours renamed into place, theirs untouched
}
