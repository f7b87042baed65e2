// Feeds arbitrary download responses to ProcessDL's record handling, writing into a scratch folder.
// Whatever the bytes say, nothing may appear anywhere in the scratch root outside TempDir, nothing may
// change after a Stop, and the client must not crash.
#include "app/install_settings.h"
#include "app/module_list.h"
#include "service/messages.h"
#include "service/process_dl.h"
#include "tests/service/scratch_tree.h"

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

struct Scratch {
    Scratch() {
        char pattern[] = "/tmp/orvane-dl-fuzz-XXXXXX";
        root = ::mkdtemp(pattern);
        // So deep inside the root that any path the client could accept still lands below it.
        temp = scratch::DeepTempDir(root.string());
        GetInstallSettings().TempDir = temp.string();
        const char* names[] = {"core", "docs", "data"};
        for (const char* n : names) {
            ModuleRecord m;
            std::strcpy(m.PackageNo, "000185");
            std::strcpy(m.ModuleName, n);
            m.State = 'U';
            GetModuleList().push_back(m);
        }
    }
    ~Scratch() {
        std::error_code ec;
        fs::remove_all(root, ec);
    }
    // Anything anywhere below the scratch root but inside TempDir and the folders leading to it.
    bool Escaped() const { return !scratch::EntriesOutside(root.string(), temp.string()).empty(); }
    // Every file below TempDir with its size.
    std::map<std::string, uintmax_t> Files() const {
        std::map<std::string, uintmax_t> out;
        std::error_code ec;
        for (auto it = fs::recursive_directory_iterator(temp, ec);
             !ec && it != fs::recursive_directory_iterator(); it.increment(ec))
            out[it->path().string()] = it->is_regular_file() ? it->file_size() : 0;
        return out;
    }
    fs::path root, temp;
};

Scratch& TheScratch() {
    static Scratch scratch;
    return scratch;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Scratch& scratch = TheScratch();
    std::vector<uint8_t> msg(data, data + size);
    // Aim at the download response: the header's type is forced, the rest is the fuzzer's.
    if (msg.size() >= messages::kHeaderSize) {
        msg[6] = uint8_t(messages::kFileDownloadRsp & 0xFF);
        msg[7] = uint8_t(messages::kFileDownloadRsp >> 8);
    }
    {
        ProcessDL dl;
        dl.DownloadModule(); // no connection: only the pending list is set up
        // The same message twice: the second finds the state the first left. With an odd size the
        // client is stopped in between, and then the second may change nothing at all.
        dl.OnMessage(msg.data(), msg.size());
        const bool stop = size % 2 == 1;
        std::map<std::string, uintmax_t> before;
        if (stop) {
            dl.Stop();
            before = scratch.Files();
        }
        dl.OnMessage(msg.data(), msg.size());
        if (stop && scratch.Files() != before)
            std::abort();
        if (dl.PendingCount() < 0 || dl.PendingCount() > 3)
            std::abort();
    }
    if (scratch.Escaped())
        std::abort();
    std::error_code ec;
    fs::remove_all(scratch.temp, ec);
    fs::create_directories(scratch.temp, ec);
    return 0;
}
