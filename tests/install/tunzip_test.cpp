// Tests that archives made here are extracted below their target folder as the install step needs, and
// that names, locks and damaged entries are handled without writing anywhere else.
#include "install/dependency_package.h"
#include "install/tunzip.h"

#include "tests/install/test_support.h"
#include "tests/install/zip_writer.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <thread>
#include <vector>

namespace {

std::vector<int> answers;               // what the scripted user answers, in order
std::vector<std::string> questionTexts; // what was asked
std::string questionTitle;
HANDLE lockToDropOnRetry = nullptr;

int ScriptedAnswer(const char* text, const char* title) {
    questionTexts.push_back(text);
    questionTitle = title;
    if (answers.empty())
        return IDABORT;
    int answer = answers.front();
    answers.erase(answers.begin());
    if (answer == IDRETRY && lockToDropOnRetry) {
        CloseHandle(lockToDropOnRetry);
        lockToDropOnRetry = nullptr;
    }
    return answer;
}

HANDLE LockFile(const std::string& path) {
    return CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

ZipEntrySpec Entry(const std::string& name, const std::string& data, bool deflate = false) {
    ZipEntrySpec e;
    e.name = name;
    e.data = data;
    e.deflate = deflate;
    return e;
}

ZipEntrySpec FolderEntry(const std::string& name) {
    ZipEntrySpec e;
    e.name = name;
    e.externalAttributes = 0x10;
    return e;
}

class Unzip : public ::testing::Test {
  protected:
    void SetUp() override {
        answers.clear();
        questionTexts.clear();
        questionTitle.clear();
        lockToDropOnRetry = nullptr;
        SetOverwritePromptForTesting(ScriptedAnswer);
        archive = scratch / "archive.zip";
        target = scratch / "out";
    }
    void TearDown() override { SetOverwritePromptForTesting(nullptr); }

    ScratchFolder scratch;
    std::string archive;
    std::string target;
};

} // namespace

// Tests that forward-slash names land in nested folders, folder entries create folders, stored and
// deflated data both come out whole, and nothing is asked.
TEST_F(Unzip, ExtractsNestedEntriesAndFolders) {
    const std::string big(100000, 'q');
    ASSERT_TRUE(WriteZip(archive, {Entry("a/b/c.txt", "deep text", true), FolderEntry("empty/"),
                                   Entry("top.bin", big), Entry("a/big.txt", big + "end", true)}));
    EXPECT_TRUE(UnzipArchive(W(archive), W(target)));

    EXPECT_EQ(ReadWholeFile(target + "\\a\\b\\c.txt"), "deep text");
    EXPECT_TRUE(IsFolder(target + "\\empty"));
    EXPECT_EQ(ReadWholeFile(target + "\\top.bin"), big);
    EXPECT_EQ(ReadWholeFile(target + "\\a\\big.txt"), big + "end");
    EXPECT_EQ(ListTree(target),
              (std::set<std::string>{"a\\", "a\\b\\", "a\\b\\c.txt", "a\\big.txt", "empty\\", "top.bin"}));
    EXPECT_TRUE(questionTexts.empty());
}

// Tests that the entry description carries the archive's fields, with backslashes in the name, and that
// the default target is the folder holding the archive.
TEST_F(Unzip, DescribesEntriesAndDefaultsToArchiveFolder) {
    ZipEntrySpec file = Entry("x/y.txt", "hello", true);
    ASSERT_TRUE(WriteZip(archive, {file, FolderEntry("d/")}));
    TUnzip unzip(W(archive));
    EXPECT_EQ(unzip.OutputFolder(), W(scratch.Path() + "\\"));

    UnzipFileInfo info;
    ASSERT_TRUE(unzip.GetFileInfo(info));
    EXPECT_STREQ(info.fileName, "x\\y.txt");
    EXPECT_EQ(info.compressionMethod, 8u);
    EXPECT_EQ(info.dosDateTime, (uint32_t(file.dosDate) << 16) | file.dosTime);
    EXPECT_EQ(info.uncompressedSize, 5u);
    EXPECT_FALSE(info.isFolder);

    EXPECT_TRUE(unzip.UnzipFile());
    EXPECT_EQ(ReadWholeFile(scratch / "x\\y.txt"), "hello");

    unzip.Close();
    EXPECT_EQ(unzip.OutputFolder(), L"");
    EXPECT_FALSE(unzip.GetFileInfo(info));
    EXPECT_FALSE(unzip.UnzipFile());
}

// Tests that an existing target is overwritten without a question and takes the entry's DOS time,
// read as local time, as its creation and last-write time.
TEST_F(Unzip, OverwritesAndStampsLocalTime) {
    ASSERT_TRUE(WriteWholeFile(target + "\\old.txt", "previous, longer content"));
    ZipEntrySpec e = Entry("old.txt", "new");
    ASSERT_TRUE(WriteZip(archive, {e}));
    EXPECT_TRUE(UnzipArchive(W(archive), W(target)));
    EXPECT_EQ(ReadWholeFile(target + "\\old.txt"), "new");
    EXPECT_TRUE(questionTexts.empty());

    FILETIME local, expected;
    ASSERT_TRUE(DosDateTimeToFileTime(e.dosDate, e.dosTime, &local));
    ASSERT_TRUE(LocalFileTimeToFileTime(&local, &expected));
    HANDLE h = CreateFileA((target + "\\old.txt").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    FILETIME created, accessed, written;
    ASSERT_TRUE(GetFileTime(h, &created, &accessed, &written));
    CloseHandle(h);
    EXPECT_EQ(CompareFileTime(&written, &expected), 0);
    EXPECT_EQ(CompareFileTime(&created, &expected), 0);
}

// Tests that an archive without entries fails UnzipTo after creating the target folder, while the
// install step counts it as nothing to unpack and deletes it; one it cannot read fails and stays.
TEST_F(Unzip, ZeroEntriesFailsButArchiveIsDeleted) {
    // After a stub, so that the end record is not at offset 0 (minizip takes 0 for "not found").
    ASSERT_TRUE(WriteZip(archive, {}, "stub before the archive"));
    TUnzip unzip;
    ASSERT_TRUE(unzip.Open(W(archive)));
    EXPECT_FALSE(unzip.UnzipTo(W(target)));
    EXPECT_TRUE(IsFolder(target));
    EXPECT_EQ(ListTree(target), std::set<std::string>{});

    const std::string install = scratch / "install";
    ASSERT_TRUE(WriteWholeFile(install + "\\server\\depend.zip", "")); // creates the folders
    ASSERT_TRUE(WriteZip(install + "\\server\\depend.zip", {}, "stub before the archive"));
    EXPECT_TRUE(ExtractDependPackage(W(install)));
    EXPECT_FALSE(PathExists(install + "\\server\\depend.zip"));
    EXPECT_TRUE(IsFolder(install + "\\server"));

    ASSERT_TRUE(WriteWholeFile(install + "\\server\\depend.zip", "not an archive"));
    EXPECT_FALSE(ExtractDependPackage(W(install)));
    EXPECT_TRUE(IsFile(install + "\\server\\depend.zip"));
}

// Tests that a missing archive makes the install step do nothing at all, and extraction create nothing.
TEST_F(Unzip, MissingArchiveDeletesNothing) {
    const std::string install = scratch / "install";
    ASSERT_TRUE(WriteWholeFile(install + "\\server\\keep.txt", "k"));
    EXPECT_TRUE(ExtractDependPackage(W(install)));
    EXPECT_EQ(ListTree(install), (std::set<std::string>{"server\\", "server\\keep.txt"}));

    EXPECT_FALSE(UnzipArchive(W(archive), W(target)));
    EXPECT_FALSE(PathExists(target));
}

// Tests that the install step unpacks server\depend.zip into server and removes the archive.
TEST_F(Unzip, DependPackageUnpackedIntoServer) {
    const std::string install = scratch / "install";
    ASSERT_TRUE(WriteWholeFile(install + "\\server\\keep.txt", "k"));
    ASSERT_TRUE(WriteZip(install + "\\server\\depend.zip", {Entry("lib/dep.dll", "MZ", true)}));
    EXPECT_TRUE(ExtractDependPackage(W(install)));
    EXPECT_EQ(ListTree(install), (std::set<std::string>{"server\\", "server\\keep.txt", "server\\lib\\",
                                                        "server\\lib\\dep.dll"}));
    EXPECT_EQ(ReadWholeFile(install + "\\server\\lib\\dep.dll"), "MZ");
}

// Tests that an entry whose stored CRC is wrong is still extracted and counts as a success.
TEST_F(Unzip, CrcMismatchStillExtracted) {
    ZipEntrySpec bad = Entry("bad.txt", "payload", true);
    bad.crcOverride = 0x12345678;
    ASSERT_TRUE(WriteZip(archive, {bad, Entry("after.txt", "a")}));
    EXPECT_TRUE(UnzipArchive(W(archive), W(target)));
    EXPECT_EQ(ReadWholeFile(target + "\\bad.txt"), "payload");
    EXPECT_EQ(ReadWholeFile(target + "\\after.txt"), "a");
}

// Tests that a locked target asks once per attempt with the exact code page 936 text: Retry asks again,
// Ignore skips just that entry, Abort stops the whole extraction.
TEST_F(Unzip, LockedTargetRetryIgnoreAbort) {
    ASSERT_TRUE(WriteWholeFile(target + "\\one.txt", "locked one"));
    ASSERT_TRUE(WriteWholeFile(target + "\\two.txt", "locked two"));
    HANDLE one = LockFile(target + "\\one.txt");
    HANDLE two = LockFile(target + "\\two.txt");
    ASSERT_NE(one, INVALID_HANDLE_VALUE);
    ASSERT_NE(two, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(WriteZip(archive, {Entry("one.txt", "1"), Entry("mid.txt", "m"), Entry("two.txt", "2"),
                                   Entry("three.txt", "3")}));
    answers = {IDRETRY, IDIGNORE, IDABORT};

    EXPECT_FALSE(UnzipArchive(W(archive), W(target)));
    CloseHandle(one);
    CloseHandle(two);

    ASSERT_EQ(questionTexts.size(), 3u);
    EXPECT_EQ(questionTexts[0], "\xce\xde\xb7\xa8\xb8\xb2\xb8\xc7\xce\xc4\xbc\xfe\"one.txt\","
                                "\xb8\xc3\xce\xc4\xbc\xfe\xbf\xc9\xc4\xdc\xd5\xfd\xb1\xbb\xca\xb9\xd3\xc3!\n"
                                "\xca\xc7\xb7\xf1\xd6\xd5\xd6\xb9\xc9\xfd\xbc\xb6?");
    EXPECT_EQ(questionTexts[1], questionTexts[0]);
    EXPECT_NE(questionTexts[2].find("\"two.txt\""), std::string::npos);
    EXPECT_EQ(questionTitle, "\xbe\xaf\xb8\xe6");

    EXPECT_EQ(ReadWholeFile(target + "\\one.txt"), "locked one"); // ignored
    EXPECT_EQ(ReadWholeFile(target + "\\mid.txt"), "m");          // extraction went on after Ignore
    EXPECT_EQ(ReadWholeFile(target + "\\two.txt"), "locked two"); // aborted
    EXPECT_FALSE(PathExists(target + "\\three.txt"));             // nothing after the Abort
}

// Tests that the real question is owned by the dialog and topmost, so it shows above the topmost dialog,
// carries the code page 936 texts as UTF-16, and that its Abort stops the extraction.
TEST_F(Unzip, QuestionIsOwnedByTheDialogAndTopmost) {
    HWND owner = CreateWindowExW(WS_EX_TOPMOST, L"STATIC", L"owner", WS_POPUP | WS_VISIBLE, 0, 0, 100, 100,
                                 nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
    ASSERT_NE(owner, nullptr);
    SetOverwritePromptForTesting(nullptr);
    SetOverwritePromptOwner(owner);
    ASSERT_TRUE(WriteWholeFile(target + "\\busy.txt", "locked"));
    HANDLE lock = LockFile(target + "\\busy.txt");
    ASSERT_NE(lock, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(WriteZip(archive, {Entry("busy.txt", "new")}));

    HWND box = nullptr, boxOwner = nullptr;
    LONG_PTR exStyle = 0;
    std::thread answer([&] {
        // The box of this test's thread, found by its title; answered with Abort. Bounded: after the
        // wait any dialog box is answered, so the test cannot hang on a box it failed to recognise.
        for (int i = 0; i < 200 && !box; ++i, Sleep(50))
            box = FindWindowW(L"#32770", L"\u8b66\u544a");
        if (box) {
            boxOwner = GetWindow(box, GW_OWNER);
            exStyle = GetWindowLongPtrW(box, GWL_EXSTYLE);
        }
        for (HWND any = box ? box : FindWindowW(L"#32770", nullptr); any; any = nullptr)
            PostMessageW(any, WM_COMMAND, IDABORT, 0);
    });
    const bool extracted = UnzipArchive(W(archive), W(target));
    answer.join();
    CloseHandle(lock);
    SetOverwritePromptOwner(nullptr);
    DestroyWindow(owner);

    EXPECT_FALSE(extracted);
    ASSERT_NE(box, nullptr) << "no question titled \"\u8b66\u544a\" appeared";
    EXPECT_EQ(boxOwner, owner);
    EXPECT_TRUE(exStyle & WS_EX_TOPMOST);
    EXPECT_EQ(ReadWholeFile(target + "\\busy.txt"), "locked");
}

// Tests that Retry succeeds once the lock is gone, and the entry is then written.
TEST_F(Unzip, RetryAfterUnlockWrites) {
    ASSERT_TRUE(WriteWholeFile(target + "\\busy.txt", "old"));
    lockToDropOnRetry = LockFile(target + "\\busy.txt");
    ASSERT_NE(lockToDropOnRetry, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(WriteZip(archive, {Entry("busy.txt", "fresh")}));
    answers = {IDRETRY};
    EXPECT_TRUE(UnzipArchive(W(archive), W(target)));
    EXPECT_EQ(questionTexts.size(), 1u);
    EXPECT_EQ(ReadWholeFile(target + "\\busy.txt"), "fresh");
}

// Tests that entries whose names would leave the target folder fail as a write failure would, and that
// nothing is written outside the folder.
TEST_F(Unzip, RefusesNamesOutsideTarget) {
    for (const char* name : {"../evil.txt", "..\\evil.txt", "a/../../evil.txt", "/evil.txt", "C:/evil.txt",
                             "C:evil.txt", "ok.txt:stream", ".../evil.txt", ". ./evil.txt"}) {
        SCOPED_TRACE(name);
        ScratchFolder place;
        const std::string out = place / "out";
        const std::string zip = place / "z.zip";
        ASSERT_TRUE(WriteZip(zip, {Entry("first.txt", "1"), Entry(name, "evil"), Entry("after.txt", "2")}));
        EXPECT_FALSE(UnzipArchive(W(zip), W(out)));
        EXPECT_EQ(ReadWholeFile(out + "\\first.txt"), "1");
        EXPECT_FALSE(PathExists(out + "\\after.txt"));
        EXPECT_EQ(ListTree(place.Path()), (std::set<std::string>{"out\\", "out\\first.txt", "z.zip"}));
    }
    EXPECT_FALSE(PathExists("C:\\evil.txt"));
}

// Tests that code page 936 names whose second byte is 0x5C (誠 D5 5C, 運 DF 5C, 淺 9C 5C) land under the
// names they spell, in their folders, whatever the system's own code page; a real ".." after such a
// character is still refused, and so is a device name.
TEST_F(Unzip, DoubleByteNamesWithBackslashTrailLandWhereNamed) {
    ASSERT_TRUE(WriteZip(archive, {Entry("\xd5\x5c.txt", "cheng"), Entry("\xdf\x5c/\x9c\x5c.dat", "qian"),
                                   FolderEntry("\xe5\x5c/"), Entry("\xd6\x5c", "mou")}));
    EXPECT_TRUE(UnzipArchive(W(archive), W(target)));
    const std::wstring out(target.begin(), target.end());
    auto content = [&](const std::wstring& relative) {
        std::string data;
        HANDLE f = CreateFileW((out + L"\\" + relative).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                               OPEN_EXISTING, 0, nullptr);
        if (f == INVALID_HANDLE_VALUE)
            return std::string("<missing>");
        char buffer[64];
        DWORD n = 0;
        if (ReadFile(f, buffer, sizeof buffer, &n, nullptr))
            data.assign(buffer, n);
        CloseHandle(f);
        return data;
    };
    EXPECT_EQ(content(L"\u8aa0.txt"), "cheng");
    EXPECT_EQ(content(L"\u904b\\\u6dfa.dat"), "qian");
    EXPECT_EQ(content(L"\u8b00"), "mou");
    const DWORD folder = GetFileAttributesW((out + L"\\\u9326").c_str());
    EXPECT_TRUE(folder != INVALID_FILE_ATTRIBUTES && (folder & FILE_ATTRIBUTE_DIRECTORY));
    // Nothing else: no folder made of a lead byte, no file named by what follows a 0x5C.
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((out + L"\\*").c_str(), &data);
    ASSERT_NE(find, INVALID_HANDLE_VALUE);
    std::set<std::wstring> names;
    do
        names.insert(data.cFileName);
    while (FindNextFileW(find, &data));
    FindClose(find);
    EXPECT_EQ(names, (std::set<std::wstring>{L".", L"..", L"\u8aa0.txt", L"\u904b", L"\u9326", L"\u8b00"}));

    for (const char* name :
         {"\xd5\x5c/../../evil.txt", "\xd5\x5c\\..\\..\\evil.txt", "a/COM1.txt", "LPT\xb9", "\x81"}) {
        SCOPED_TRACE(name);
        ScratchFolder place;
        const std::string zip = place / "z.zip";
        ASSERT_TRUE(WriteZip(zip, {Entry(name, "evil")}));
        EXPECT_FALSE(UnzipArchive(W(zip), W((place / "out"))));
        EXPECT_EQ(ListTree(place.Path()), (std::set<std::string>{"out\\", "z.zip"}));
    }
}

// Tests that a joined path over 259 characters is refused rather than cut: directly, and as an entry
// that then fails the extraction without creating anything.
TEST_F(Unzip, RefusesOverlongPath) {
    const std::string fits(259 - 5, 'n'); // 259 less the folder and the joining backslash
    const auto joined = JoinEntryPath(L"C:\\t", fits.c_str());
    ASSERT_TRUE(joined);
    EXPECT_EQ(*joined, W("C:\\t\\" + fits));
    EXPECT_FALSE(JoinEntryPath(L"C:\\t", (fits + "n").c_str()));

    ASSERT_TRUE(WriteZip(archive, {Entry(std::string(150, 'd') + "/" + std::string(150, 'f'), "x")}));
    EXPECT_FALSE(UnzipArchive(W(archive), W(target)));
    EXPECT_EQ(ListTree(target), std::set<std::string>{});
}

// Tests that an encrypted entry is refused: no password is ever given, so its data would be garbage.
TEST_F(Unzip, RefusesEncryptedEntry) {
    ZipEntrySpec secret = Entry("secret.txt", "ciphertext");
    secret.flags = 0x1;
    ASSERT_TRUE(WriteZip(archive, {secret}));
    EXPECT_FALSE(UnzipArchive(W(archive), W(target)));
    EXPECT_FALSE(PathExists(target + "\\secret.txt"));
}

// Tests that CreateFolder accepts bare drives and existing trees, and creates every missing level.
TEST_F(Unzip, CreateFolderLevels) {
    EXPECT_TRUE(TUnzip::CreateFolder(L"C:"));
    EXPECT_TRUE(TUnzip::CreateFolder(L"C:\\"));
    EXPECT_TRUE(TUnzip::CreateFolder(W(scratch.Path())));
    const std::string deep = scratch / "x/y\\\\z\\";
    EXPECT_TRUE(TUnzip::CreateFolder(W(deep)));
    EXPECT_TRUE(IsFolder(scratch / "x\\y\\z"));
    EXPECT_TRUE(TUnzip::CreateFolder(W(deep)));
    ASSERT_TRUE(WriteWholeFile(scratch / "file", "f"));
    EXPECT_FALSE(TUnzip::CreateFolder(W(scratch / "file\\sub")));
    EXPECT_FALSE(TUnzip::CreateFolder(L""));
}

// Tests that damaged archives fail without harm: garbage is not opened, and a corrupt deflate stream
// fails its entry and stops the extraction.
TEST_F(Unzip, DamagedArchivesFail) {
    ASSERT_TRUE(WriteWholeFile(archive, std::string(3000, '\x5a') + "PK"));
    EXPECT_FALSE(UnzipArchive(W(archive), W(target)));
    EXPECT_FALSE(PathExists(target));

    std::vector<uint8_t> bytes =
        BuildZip({Entry("bad.bin", std::string(20000, 'b') + "tail", true), Entry("after.txt", "a")});
    // The deflated data starts after the 30-byte local header and the 7-byte name.
    for (size_t i = 37; i < 37 + 16; ++i)
        bytes[i] = uint8_t(0xff);
    ASSERT_TRUE(WriteWholeFile(archive, std::string(bytes.begin(), bytes.end())));
    EXPECT_FALSE(UnzipArchive(W(archive), W(target)));
    EXPECT_FALSE(PathExists(target + "\\after.txt"));
}
