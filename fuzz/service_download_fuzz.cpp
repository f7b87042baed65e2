// Feeds arbitrary download responses to ProcessDL's record handling, writing into a scratch folder.
// Whatever the bytes say, nothing may appear anywhere in the scratch root outside TempDir, nothing may
// change after a Stop, and the client must not crash.
#include "core/wide_path.h"
#include "core/install_settings.h"
#include "core/module_list.h"
#include "service/messages.h"
#include "service/process_dl.h"
#include "tests/service/scratch_tree.h"

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace fs = std::filesystem;

namespace {

struct Scratch {
    Scratch() {
        char pattern[] = "/tmp/orvane-dl-fuzz-XXXXXX";
        root = ::mkdtemp(pattern);
        // So deep inside the root that any path the client could accept still lands below it.
        temp = scratch::DeepTempDir(root.string());
        GetInstallSettings().TempDir = WidePathFromBytes(temp.string());
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

// The input read as chunks rather than as a message, so that the names reach the path check in valid
// records: NUL-separated fields taken three at a time (RelDir, FileName, data), cut to their widths;
// bytes 1 and 2 stand for ".." and a backslash.
std::vector<uint8_t> ChunkMessage(const uint8_t* data, size_t size) {
    std::vector<std::string> fields(1);
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == 0)
            fields.emplace_back();
        else if (data[i] == 1) // the pieces of a climb, one byte each, so the fuzzer finds them soon
            fields.back() += "..";
        else if (data[i] == 2)
            fields.back() += "\\";
        else
            fields.back().push_back(char(data[i]));
    }
    const char* modules[] = {"core", "docs", "data"};
    std::vector<messages::FileChunk> chunks;
    for (size_t i = 0; i + 2 < fields.size() && chunks.size() < 8; i += 3) {
        std::string_view rel(fields[i]), name(fields[i + 1]), bytes(fields[i + 2]);
        auto payload =
            std::span(reinterpret_cast<const uint8_t*>(bytes.data()), std::min<size_t>(bytes.size(), 1001));
        chunks.push_back({modules[chunks.size() % 3], name.substr(0, 58), rel.substr(0, 100), payload,
                          bytes.size() % 2 == 1});
    }
    return messages::EncodeFileDownloadResponse(chunks).value_or(std::vector<uint8_t>{});
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Scratch& scratch = TheScratch();
    std::vector<uint8_t> msg;
    if (size > 0 && data[0] % 2 == 1) {
        msg = ChunkMessage(data + 1, size - 1);
    } else {
        // Aim at the download response: the header's type is forced, the rest is the fuzzer's.
        msg.assign(data, data + size);
        if (msg.size() >= messages::kHeaderSize) {
            msg[6] = uint8_t(messages::kFileDownloadRsp & 0xFF);
            msg[7] = uint8_t(messages::kFileDownloadRsp >> 8);
        }
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
