#include "tests/publisher/installer_steps.h"

namespace publisher::testing {

bool ClosedWithin(TestClient& c, std::chrono::milliseconds limit) {
    c.SetTimeout(limit);
    std::vector<uint8_t> msg;
    while (c.Receive(msg) == TestClient::Got::Message) {
    }
    return !c.timedOut();
}

std::vector<ModuleRecord> ListModules(uint16_t checkPort, uint32_t v4) {
    TestClient c;
    if (!c.Connect(checkPort) || c.Authenticate() != 0u || c.Login("tulip", "tulip") != 0u)
        return {};
    auto modules = c.ModuleCheck("000185", 12, v4);
    return modules ? *modules : std::vector<ModuleRecord>{};
}

ModuleRecord Named(const std::vector<ModuleRecord>& modules, std::string_view name) {
    for (const auto& m : modules)
        if (m.Name() == name)
            return m;
    return {};
}

bool CheckThrough(TestClient& c, uint16_t port, bool moduleList) {
    if (!c.Connect(port) || c.Authenticate() != 0u || c.Login("tulip", "tulip") != 0u)
        return false;
    return !moduleList || c.ModuleCheck("000185", 12, 3).has_value();
}

bool Install(uint16_t checkPort, const std::filesystem::path& folder, uint16_t* downloadPort) {
    if (downloadPort)
        *downloadPort = 0;
    TestClient check;
    if (!CheckThrough(check, checkPort, false))
        return false;
    auto offer = check.UpdateCheck("000185");
    if (!offer || offer->Offers.empty() || !offer->Offers[0].Available)
        return false;
    if (downloadPort)
        *downloadPort = uint16_t(offer->Offers[0].DownloadPort);
    auto modules = check.ModuleCheck("000185", offer->Offers[0].VerPart3, offer->Offers[0].VerPart4);
    TestClient download;
    if (!modules || !download.Connect(uint16_t(offer->Offers[0].DownloadPort)) ||
        download.Authenticate() != 0u)
        return false;
    auto result = download.Download(*modules, folder);
    return !result.closed && result.completed.size() == modules->size() && check.Alive();
}

Slowloris::Slowloris(std::vector<uint16_t> ports, size_t count) {
    thread_ = std::thread([this, ports = std::move(ports), count] {
        asio::io_context io;
        std::vector<std::unique_ptr<asio::ip::tcp::socket>> sockets;
        while (!stop_) {
            while (sockets.size() < count) {
                auto s = std::make_unique<asio::ip::tcp::socket>(io);
                asio::error_code ec;
                s->open(asio::ip::tcp::v4(), ec);
                s->connect({asio::ip::make_address_v4("127.0.0.1"), ports[sockets.size() % ports.size()]},
                           ec);
                if (!ec)
                    ++connected_;
                s->non_blocking(true, ec);
                sockets.push_back(std::move(s));
            }
            // One byte each; the ones the service closed are opened again.
            for (auto& s : sockets) {
                asio::error_code ec;
                uint8_t b = '#';
                s->write_some(asio::buffer(&b, 1), ec);
                if (ec && ec != asio::error::would_block)
                    s.reset();
            }
            std::erase(sockets, nullptr);
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
    });
}

Slowloris::~Slowloris() {
    stop_ = true;
    thread_.join();
}

size_t ReconnectFlood(uint16_t checkPort, uint16_t downloadPort, int threads,
                      std::chrono::milliseconds span) {
    std::atomic<bool> stop{false};
    std::atomic<size_t> rounds{0};
    std::vector<std::thread> flood;
    for (int t = 0; t < threads; ++t)
        flood.emplace_back([&, t] {
            while (!stop) {
                TestClient c;
                if (!c.Connect(t % 2 ? downloadPort : checkPort))
                    continue;
                c.SetTimeout(std::chrono::milliseconds(1000));
                c.Authenticate();
                c.SendRaw({'x', 'y', 'z'});
                ++rounds;
            }
        });
    std::this_thread::sleep_for(span);
    stop = true;
    for (auto& t : flood)
        t.join();
    return rounds;
}

} // namespace publisher::testing
