// A blocking client of the publishing service built from the portable core (packet codec, session
// and service message records), playing the installer's part so the service can be tested alone.
#pragma once

#include "net/idea.h"
#include "net/packet_codec.h"
#include "service/messages.h"

#include <asio.hpp>

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace publisher::testing {

class TestClient {
  public:
    TestClient();
    // Connects to 127.0.0.1:port; a receiveBuffer above 0 is set first (SO_RCVBUF), so a slow reader
    // holds the service back instead of the kernel's buffers taking everything at once.
    // `from`: the loopback address to connect from (any 127.x.y.z), when not 127.0.0.1.
    bool Connect(uint16_t port, int receiveBuffer = 0, const std::string& from = "");
    void Close();
    // Ends the connection in both directions without closing the socket, so a read on another thread
    // returns; safe while that thread uses the client.
    void Shutdown();
    // Hands the open socket over as a bare descriptor (the caller closes it); the client is closed.
    int ReleaseHandle();
    // Makes every later read give up after `limit`: Receive then reports Closed and timedOut() is true.
    void SetTimeout(std::chrono::milliseconds limit);
    bool timedOut() const { return timedOut_; }
    // Whether the service still answers a heartbeat on this connection.
    bool Alive();

    // Sends msg as type '4' under the fixed key before authentication, as type '6' after.
    bool Send(const std::vector<uint8_t>& msg);
    bool SendRaw(const std::vector<uint8_t>& bytes);
    // Bytes written in one write with the next packet Send sends, before it (a balancer's PROXY header).
    void SetPrelude(std::vector<uint8_t> bytes) { prelude_ = std::move(bytes); }

    enum class Got { Message, Garbage, Closed };
    // Next message; Garbage when the stream held bytes that are no packet (they are dropped).
    Got Receive(std::vector<uint8_t>& msg);
    // Next message of the given type, skipping heartbeat answers; nullopt on close or garbage.
    std::optional<std::vector<uint8_t>> Expect(uint16_t type);

    // Each returns the answer's ErrorCode, or nullopt when no answer came.
    std::optional<uint32_t> Authenticate();
    std::optional<uint32_t> Login(const std::string& name, const std::string& password);
    std::optional<messages::UpdateCheckResponse> UpdateCheck(const std::string& packageNo);
    // All records of a (possibly split) module-check reply; `parts` receives the number of messages.
    std::optional<std::vector<ModuleRecord>> ModuleCheck(const std::string& packageNo, uint32_t v3,
                                                         uint32_t v4, size_t* parts = nullptr);

    struct DownloadResult {
        std::set<std::string> completed; // modules whose ModuleEnd arrived
        size_t messages = 0;
        bool closed = false;       // the service closed the connection
        size_t climbingChunks = 0; // chunks whose path leaves the folder (never written)
        uint32_t lastErrorCode = 0;
    };
    // Requests the modules and writes the chunks below `folder` the way the installer does: RelDir and
    // FileName appended, a new file whenever the path changes. Returns when every module has ended or
    // the connection closed.
    // `onMessage` is called after each download message.
    DownloadResult Download(const std::vector<ModuleRecord>& modules, const std::filesystem::path& folder,
                            const std::function<void()>& onMessage = {});

    size_t garbageSeen() const { return garbage_; }

  private:
    bool ReadMore();

    asio::io_context io_;
    asio::ip::tcp::socket socket_;
    std::unique_ptr<CodecBuffers> buffers_;
    std::vector<uint8_t> packet_;
    IdeaKey fixedKey_;
    IdeaKey sendKey_;
    IdeaKey recvKey_;
    bool authenticated_ = false;
    std::vector<uint8_t> in_;
    std::vector<uint8_t> prelude_;
    size_t garbage_ = 0;
    bool timedOut_ = false;
    int timeoutMs_ = -1;
};

} // namespace publisher::testing
