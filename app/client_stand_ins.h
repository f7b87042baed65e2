// Stand-ins for the check and download clients of the publishing service. The service-client work
// replaces them (service/process_check.h, service/process_dl.h); app/clients.h then names those headers
// and this file goes away. They behave as the real clients do when the service cannot be reached: the
// connect fails and reports the lost connection the way the real client would.
#pragma once

#include "service/notify.h"

#include <cstdint>

// In a namespace of their own: the real classes may already be compiled into the service library, and
// two definitions of one class name would clash.
namespace client_stand_ins {

class ProcessCheck {
  public:
    void SetServer(const char*, uint32_t) {}
    bool Connect() {
        PostNotify(kNotifyCheckLost, 0);
        return false;
    }
    void Stop() {}
};

class ProcessDL {
  public:
    void SetServer(const char*, uint32_t) {}
    bool Connect() {
        SendNotify(kNotifyDLLost, 0);
        return false;
    }
    void Stop() {}
    void DownloadModule() {}
};

} // namespace client_stand_ins

using client_stand_ins::ProcessCheck;
using client_stand_ins::ProcessDL;
