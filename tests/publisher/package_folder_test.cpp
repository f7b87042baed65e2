// Tests of opening package files below the held package folder: plain paths open, a link anywhere on
// the way does not, with openat2 and with the component walk it falls back to.
#include "publisher/package/load_package.h"
#include "publisher/package/package_folder.h"
#include "tests/publisher/temp_package.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

using namespace publisher;
using namespace publisher::testing;
namespace fs = std::filesystem;

namespace {

// Reads what `fd` holds and closes it; "" for none.
std::string Drain(UniqueFd fd) {
    if (!fd)
        return "";
    std::string out(64, '\0');
    const ssize_t n = ::read(fd.get(), out.data(), out.size());
    out.resize(n > 0 ? size_t(n) : 0);
    return out;
}

} // namespace

// Tests both ways of opening against the same tree: the package's own files open, while a folder link,
// a file link, a link to the folder above and names that climb or are absolute are refused.
TEST(PackageFolderTest, OpensOnlyPlainPathsBelowTheFolder) {
    TempFolder tmp;
    WriteFile(tmp.path(), "pkg/m/sub/a.txt", {'i', 'n'});
    WriteFile(tmp.path(), "outside/a.txt", {'o', 'u', 't'});
    fs::create_directory_symlink(tmp.path() / "outside", tmp.path() / "pkg/m/linked");
    fs::create_symlink(tmp.path() / "outside/a.txt", tmp.path() / "pkg/m/file-link.txt");
    fs::create_directory_symlink(tmp.path(), tmp.path() / "pkg/m/up");
    auto opened = PackageFolder::Open(tmp.path() / "pkg");
    ASSERT_TRUE(opened.ok()) << opened.error().message();
    const auto folder = *opened;
    for (bool walk : {false, true}) {
        SCOPED_TRACE(walk ? "component walk" : "openat2");
        auto open = [&](const std::string& relative) {
            return walk ? folder->WalkBelow(relative, O_RDONLY) : folder->OpenBelow(relative, O_RDONLY);
        };
        EXPECT_EQ(Drain(open("m/sub/a.txt")), "in");
        for (const char* refused :
             {"m/linked/a.txt", "m/file-link.txt", "m/up/outside/a.txt", "../outside/a.txt",
              "m/../../outside/a.txt", "m/./sub/a.txt", "m//sub/a.txt", "", "/etc/hosts"}) {
            errno = 0;
            UniqueFd fd = open(refused);
            EXPECT_EQ(fd.get(), -1) << refused;
            EXPECT_NE(errno, 0) << refused;
            Drain(std::move(fd));
        }
    }
    // The folder held is the one opened: renamed away and replaced, it still serves its own files.
    fs::rename(tmp.path() / "pkg", tmp.path() / "old");
    WriteFile(tmp.path(), "pkg/m/sub/a.txt", {'n', 'e', 'w'});
    EXPECT_EQ(Drain(folder->OpenBelow("m/sub/a.txt", O_RDONLY)), "in");
}

// Tests that a loaded package records each file's place below the folder and its identity, and that
// the stamp looked up later through the folder is that identity until the file is replaced.
TEST(PackageFolderTest, RecordsEachFilesIdentityAtLoad) {
    TempFolder tmp;
    WriteStandardPackage(tmp.path());
    auto load = LoadPackage(tmp.path());
    ASSERT_TRUE(load.ok()) << load.error().message();
    const PackageFile& deep = load->FindModule("server")->files.at(0);
    EXPECT_EQ(deep.relative, "modules/server/deps/a/b/c/deep.bin");
    auto now = StampOf(deep);
    ASSERT_TRUE(now);
    EXPECT_EQ(*now, deep.stamp);
    EXPECT_EQ(deep.stamp.size, 1002u);
    // Replaced the way a copy tool replaces a file: written beside and renamed over.
    WriteFile(tmp.path(), "modules/server/deps/a/b/c/deep.new", Pattern(1002, 2));
    fs::rename(tmp.path() / "modules/server/deps/a/b/c/deep.new",
               tmp.path() / "modules/server/deps/a/b/c/deep.bin");
    now = StampOf(deep);
    ASSERT_TRUE(now);
    EXPECT_NE(*now, deep.stamp);
    // A link where a folder was is no file at all.
    fs::rename(tmp.path() / "modules/server/deps", tmp.path() / "deps-moved");
    fs::create_directory_symlink(tmp.path() / "deps-moved", tmp.path() / "modules/server/deps");
    EXPECT_FALSE(StampOf(deep));
}
