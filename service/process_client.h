// ProcessClient: the common base of the installer's two service clients. It owns one connection
// (context, transport and session) and receives the session's events through the six virtual slots of
// SessionClient (net/session_client.h). It
// also carries what both clients share: the requests they send, the watch on a silent service, and
// the run's one outcome (service/run_state.h).
//
// Threads: Prepare, SetServer, Connect and Stop belong to the interface thread (Stop is also called
// by a client that fails its own run, on the receive or the watchdog thread). The slots run on the
// transport's receive thread, except OnClientDisconnect for a failed Connect or for Stop, which runs
// on the thread that made the call. OnSilence runs on the watchdog's thread.
//
// One object serves one run: once it has ended (complete, failed or stopped) nothing more of it is
// used or posted, and a new run needs a new client. The installer makes a new pair of clients for each
// attempt (service/download_attempts.h); every notification carries the attempt it belongs to.
//
// Destruction: the installer never destroys a client, but a derived class must call Shutdown()
// first thing in its own destructor, so that no event can arrive while it is half gone.
#pragma once

#include "net/protocol.h"
#include "net/protocol_context.h"
#include "net/session_client.h"
#include "net/tcp_socket.h"
#include "service/process_watchdog.h"
#include "service/run_state.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class ProcessClient : public SessionClient {
  public:
    ProcessClient();
    virtual ~ProcessClient();
    ProcessClient(const ProcessClient&) = delete;
    ProcessClient& operator=(const ProcessClient&) = delete;

    // New context (fixed key built), socket and protocol. Those of an earlier call are kept, not
    // freed, until the client goes: their threads may still be calling in.
    void Prepare();
    // Prepare, wire the objects together, then store the endpoint: true when address is given and
    // the low 16 bits of port are not 0 (at most 15 characters of address are kept). Refused (false,
    // nothing changed) while the current connection is open or one of its events is still running.
    bool SetServer(const char* address, uint32_t port);
    // Opens the session with the login user record; true when the TCP connection is up (the
    // authentication request has then been sent). The service's answer is watched for from here on.
    bool Connect();
    // Closes the connection if one is open, which reports OnClientDisconnect before returning, and
    // ends the run: nothing more of it is used.
    void Stop();
    // Stops every thread of every connection this client made (and the watchdog's) and drops the
    // sockets, without further events. Idempotent.
    void Shutdown();

    // Measures the service's silence on `clock` (for tests), which outlives the client. Before Connect.
    void UseClock(TimerClock& clock) { watchdog_.UseClock(clock); }

    // The run failed or was stopped: notifications of it still queued for the interface are stale.
    bool Failed() const { return run_.Failed(); }
    bool Ended() const { return run_.Ended(); }

    // The attempt this client serves, sent as the wParam of each of its notifications. Before Connect.
    void SetAttempt(uintptr_t attempt) { attempt_ = attempt; }
    uintptr_t attempt() const { return attempt_; }

    // Why a failed run failed. A transport fault (the link failed, was lost or went silent) may pass
    // with another attempt; a final one (the service's bytes broke the protocol or named a path it may
    // not, or a file could not be written) would only repeat. kNone: no fault of the run's own was
    // recorded, which a lost link is.
    enum class Fault { kNone, kTransport, kFinal };
    Fault fault() const { return fault_.load(); }
    // Bytes that were no packet arrived on this client's link.
    bool Garbled() const { return dropped_.load(); }

    // Called by the session: bytes arrived (any thread that reads), and the link went down (on the
    // thread that closed it). LinkDown ends the run and then raises OnClientDisconnect.
    void NoteTraffic() final;
    void NoteDropped() final;
    void LinkDown(const char* text, int code) final;

    std::unique_ptr<ProtocolContext> context;
    std::unique_ptr<TcpSocket> socket;
    std::unique_ptr<Protocol> protocol;

  protected:
    // One type '6' packet under the session's send key, on the current connection.
    void SendRequest(const std::vector<uint8_t>& request);
    // The login request with the stored user record.
    void SendLogin();
    // Ends the run as failed for the reason logged: closes the connection, so the loss is reported
    // once, as any lost connection is (reported here when no connection was open). No lock held.
    void Fail(const std::string& why, Fault fault = Fault::kFinal);
    // The fault of a silent service: a link that carried bytes of no packet will not mend by itself.
    Fault SilenceFault() const { return dropped_.load() ? Fault::kFinal : Fault::kTransport; }
    // The service stayed silent while an answer was due. By default: stop, which reports the loss.
    virtual void OnSilence();

    mutable RunState run_;
    std::atomic<uintptr_t> attempt_{0};
    AnswerWatchdog watchdog_{[this] { OnSilence(); }};

  private:
    struct Connection {
        ProtocolContext* context = nullptr;
        TcpSocket* socket = nullptr;
        Protocol* protocol = nullptr;
    };
    // The objects of the latest SetServer; they live until the client goes.
    Connection Current() const;

    struct Retired {
        std::unique_ptr<ProtocolContext> context;
        std::unique_ptr<TcpSocket> socket;
        std::unique_ptr<Protocol> protocol;
    };
    // Guards the three members above and retired_: the watchdog's thread may stop the connection
    // while the interface thread sets up another.
    mutable std::mutex connectionLock_;
    std::vector<Retired> retired_;
    std::atomic<Fault> fault_{Fault::kNone};
    std::atomic<bool> dropped_{false};
};
