#include "publisher/ops/systemd_notify.h"

#include <systemd/sd-daemon.h>

#include <ctime>

namespace publisher {
namespace {

// A status is one line for systemd; a newline in it would start another assignment.
std::string OneLine(std::string text) {
    for (char& c : text)
        if (c == '\n' || c == '\r')
            c = ' ';
    return text;
}

} // namespace

void NotifyReady(const std::string& status) {
    sd_notify(0, ("READY=1\nSTATUS=" + OneLine(status)).c_str());
}

void NotifyReloading() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const long long usec = static_cast<long long>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
    sd_notify(0,
              ("RELOADING=1\nSTATUS=reloading the package\nMONOTONIC_USEC=" + std::to_string(usec)).c_str());
}

void NotifyStopping() {
    sd_notify(0, "STOPPING=1\nSTATUS=stopping");
}

} // namespace publisher
