#include "tests/publisher/slow_download.h"

#include "tests/publisher/temp_package.h"

namespace publisher::testing {

void WriteLargePackage(const std::filesystem::path& root, size_t bigBytes) {
    WriteStandardPackage(root);
    WriteFile(root, "modules/server/deps/depend.zip", Pattern(bigBytes, 7));
}

SlowDownload::SlowDownload(uint16_t port, std::vector<ModuleRecord> modules, std::filesystem::path folder,
                           std::chrono::milliseconds pause) {
    const bool ready = client_.Connect(port, 8192) && client_.Authenticate() == 0u;
    thread_ = std::thread([this, ready, modules = std::move(modules), folder = std::move(folder), pause] {
        if (ready)
            result_ = client_.Download(modules, folder, [&] {
                ++messages_;
                std::this_thread::sleep_for(pause);
            });
        else
            result_.closed = true;
        done_ = true;
    });
}

SlowDownload::~SlowDownload() {
    client_.Shutdown();
    if (thread_.joinable())
        thread_.join();
}

TestClient::DownloadResult SlowDownload::Finish() {
    if (thread_.joinable())
        thread_.join();
    return result_;
}

bool SlowDownload::WaitForMessages(size_t n) {
    while (messages_ < n && !done_)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return messages_ >= n;
}

} // namespace publisher::testing
