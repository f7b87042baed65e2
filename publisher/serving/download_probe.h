// Keeps the check service from handing out download servers that do not answer, or that serve other
// module versions than the ones on offer. Every interval each advertised server is probed the way an
// installer starts its download: connect, send the link authentication request, wait for a successful
// answer, then request the smallest module on offer at its offered version and read the first answer,
// all within a timeout. A server that failed twice in a row leaves the rotation (once can be a lost
// packet); one that answers "unknown module" (error 21) leaves it at once, since its installers would all
// fail; one good answer brings it back. Changes are logged once each, not every probe.
//
// The prober runs on the io_context it is given, the one that accepts connections and never a serving
// thread; every step is asynchronous, so a server that never answers costs a timer, not a thread.
// A probe's socket is bound to its local port before it connects, so that a download service of the
// same process, accepting on the same thread, knows the connection for its own probe (FromProbe) and
// counts it instead of logging it like an installer's.
#pragma once

#include "net/idea.h"
#include "net/packet_codec.h"
#include "publisher/serving/download_rotation.h"
#include "publisher/ops/metrics.h"
#include "net/session_messages.h"
#include "publisher/command_line/options.h"
#include "service/messages.h"

#include <asio.hpp>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace publisher {

class EventLog;

// The two-failures rule for one server, fed one probe result at a time.
class ServerHealth {
  public:
    enum class Change { None, WentDown, CameBack };
    // `definite`: a failure that no retry would mend (the server answered, wrongly).
    Change Note(bool answered, bool definite = false);
    bool Live() const { return live_; }

  private:
    unsigned failures_ = 0;
    bool live_ = true;
};

class DownloadProber {
  public:
    // The module a probe asks for (the smallest on offer, at its offered version); nullopt: the probe
    // ends with the authentication.
    using ProbeModule = std::function<std::optional<messages::DownloadItem>()>;
    // `servers` in the rotation's order.
    DownloadProber(asio::io_context& io, std::vector<Endpoint> servers, DownloadRotation& rotation,
                   EventLog& log, std::chrono::steady_clock::duration interval,
                   std::chrono::steady_clock::duration timeout, ProbeModule module = {},
                   Metrics* metrics = nullptr);
    ~DownloadProber();
    DownloadProber(const DownloadProber&) = delete;
    DownloadProber& operator=(const DownloadProber&) = delete;

    // Probes at once, then every interval.
    void Start();
    // Cancels the probes under way; call on the prober's io_context thread or once it has stopped.
    void Stop();

    // Whether a connection from local port `port` is one of this prober's running probes.
    bool FromProbe(uint16_t port) const;

    // Applies one probe result: the rule, the rotation and the log. Public for tests.
    void Note(size_t index, bool answered, const std::string& why, bool definite = false);

  private:
    struct Attempt;
    void Round();
    void Probe(size_t index);
    void OnConnected(const std::shared_ptr<Attempt>& a, const asio::error_code& ec);
    void OnRead(const std::shared_ptr<Attempt>& a, const asio::error_code& ec, size_t n);
    // The authentication was answered: ask for the probe module, or finish.
    void Authenticated(const std::shared_ptr<Attempt>& a, const AuthentAnswer& answer);
    void CheckDownloadAnswer(const std::shared_ptr<Attempt>& a, const uint8_t* msg, size_t len);
    void Finish(const std::shared_ptr<Attempt>& a, bool answered, const std::string& why,
                bool definite = false);

    asio::io_context& io_;
    std::vector<Endpoint> servers_;
    std::vector<ServerHealth> health_;
    std::vector<std::weak_ptr<Attempt>> running_;
    DownloadRotation& rotation_;
    EventLog& log_;
    std::chrono::steady_clock::duration interval_;
    std::chrono::steady_clock::duration timeout_;
    asio::steady_timer timer_;
    bool stopped_ = false;
    IdeaKey fixedKey_;
    IdeaKey zeroKey_;              // what a session-key packet before the authentication answer is read with
    std::vector<uint8_t> request_; // the authentication request as a packet, the same every time
    std::unique_ptr<CodecBuffers> buffers_;
    ProbeModule module_;
    Metrics* metrics_;
};

} // namespace publisher
