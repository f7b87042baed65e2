// Tells systemd (Type=notify) where the service stands: ready once every listener is open, reloading
// while a SIGHUP's package is loaded, stopping, and a one-line status for `systemctl status`. Outside
// systemd (no NOTIFY_SOCKET) every call does nothing.
#pragma once

#include <string>

namespace publisher {

void NotifyReady(const std::string& status);
void NotifyReloading();
void NotifyStopping();

} // namespace publisher
