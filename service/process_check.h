// The check client: authenticates, logs in, asks which package version is on offer and for that
// package's module list, stores the answers in InstallSettings and ModuleList, and tells the interface
// by posted messages, always after the writes they announce.
//
// Threads: SetServer, Connect and Stop run on the interface thread; every other event runs on the
// connection's receive thread (OnClientDisconnect also on the thread that closed the connection). The
// client keeps no state of its own: where it stands follows from the last event.
#pragma once

#include "service/process_client.h"
#include "service/process_watchdog.h"

#include <cstdint>

class ProcessCheck : public ProcessClient {
  public:
    ProcessCheck() = default;
    ~ProcessCheck() override;

    // ProcessClient::Connect, with a watch on the service's silence from the first request on.
    bool Connect();

    // Sends the update check for the installed version (CurVerPart3/4).
    void QryCheckUpdate();
    // Sends the module check for the offered version (NewVerPart3/4).
    void QryCheckModule();

    // The session's events (see ProcessClient for the thread each runs on).
    void OnMessage(const uint8_t* msg, size_t len) override;
    void OnClientDisconnect(const char* text, int code) override;
    void OnLogin(uint32_t error, const uint8_t* body, size_t bodyLength) override;
    void OnAuthentLink(uint32_t error) override;

  private:
    void OnUpdateCheck(const uint8_t* msg, size_t len);
    void OnModuleCheck(const uint8_t* msg, size_t len);
    // A response of a kind this client takes, but whose records lie: nothing of it is used, and the
    // connection is closed so the interface learns of the failure instead of waiting for ever.
    void DropMalformed(const char* what);
    // The service left a request unanswered too long: close, so the interface hears of it.
    void OnSilence();

    AnswerWatchdog watchdog_{[this] { OnSilence(); }};
};
