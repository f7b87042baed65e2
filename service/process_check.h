// The check client: authenticates, logs in, asks which package version is on offer and for that
// package's module list, stores the answers in InstallSettings and ModuleList, and tells the interface
// by posted messages, always after the writes they announce.
//
// One run, one module list: the list is complete at the first module-check message whose LastFlag is
// '0', and from then on nothing is appended and nothing more is posted (the answer to a second offer's
// module check is logged and ignored). A run reports exactly one outcome: the complete list (1130), or
// one failure (1127, 1128, 1134 or 1136).
//
// Threads: SetServer, Connect and Stop run on the interface thread; every other event runs on the
// connection's receive thread (OnClientDisconnect also on the thread that closed the connection). The
// writes to InstallSettings and ModuleList, and the posts announcing them, are made under the run's
// lock, so none can follow the run's end.
#pragma once

#include "service/process_client.h"

#include <cstddef>
#include <cstdint>

class ProcessCheck : public ProcessClient {
  public:
    // Far above any real package, far below memory trouble; more fails the check.
    static constexpr size_t kMaxModuleRecords = 100000;

    ProcessCheck() = default;
    ~ProcessCheck() override;

    // Sends the update check for the installed version (CurVerPart3/4).
    void QryCheckUpdate();
    // Sends the module check for the offered version (NewVerPart3/4).
    void QryCheckModule();

    // The session's events (see ProcessClient for the thread each runs on).
    void OnMessage(const uint8_t* msg, size_t len) override;
    void OnClientDisconnect(const char* text, int code) override;
    void OnLogin(uint32_t error, const uint8_t* body, size_t bodyLength) override;
    void OnAuthentLink(uint32_t error) override;

  protected:
    // The service left a request unanswered too long: close, so the interface hears of it.
    void OnSilence() override;

  private:
    void OnUpdateCheck(const uint8_t* msg, size_t len);
    void OnModuleCheck(const uint8_t* msg, size_t len);

    size_t moduleRecords_ = 0; // records taken in this run; guarded by the run's lock
};
