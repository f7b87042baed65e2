// Feeds arbitrary download responses to ProcessDL's record handling, writing into a scratch folder.
// Whatever the bytes say, nothing may appear outside TempDir and the client must not crash.
#include "app/install_settings.h"
#include "app/module_list.h"
#include "service/messages.h"
#include "service/process_dl.h"

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

struct Scratch {
    Scratch() {
        char pattern[] = "/tmp/orvane-dl-fuzz-XXXXXX";
        root = ::mkdtemp(pattern);
        // Three levels deep, so a path that climbed out would still land where we look.
        temp = root / "a" / "b" / "v8.5temp";
        fs::create_directories(temp);
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
    // Only TempDir and the folders above it may exist outside it.
    bool Escaped() const {
        for (const fs::path& dir : {root, root / "a", root / "a" / "b"})
            for (const auto& e : fs::directory_iterator(dir)) {
                const fs::path& p = e.path();
                if (p != root / "a" && p != root / "a" / "b" && p != temp)
                    return true;
            }
        return false;
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
        // The same message twice: the second finds the state the first left.
        dl.OnMessage(msg.data(), msg.size());
        dl.OnMessage(msg.data(), msg.size());
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
