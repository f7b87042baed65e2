// The one way the service clients reach the interface thread. On Windows these are PostMessageW and
// SendMessageW to notifyWindow (service/notify_win.h); natively they feed a queue that a test thread
// pumps as the interface thread would (service/notify_queue.h).
#pragma once

#include <cstdint>

constexpr uint32_t kWmUser = 0x0400;

enum NotifyMessage : uint32_t {
    kNotifyCheckAuthRefused = kWmUser + 103, // check client: link authentication refused
    kNotifyLoginRefused = kWmUser + 104,     // login refused, or the check connect failed
    kNotifyModuleListDone = kWmUser + 106,   // ModuleList complete
    kNotifyFileDone = kWmUser + 107,         // one requested module written
    kNotifyDownloadDone = kWmUser + 108,     // no requested module left
    kNotifyDLAuthentLink = kWmUser + 109,    // download link authenticated; lParam = error code
    kNotifyNothingOffered = kWmUser + 110,   // update check offers nothing; lParam = ErrorCode
    kNotifyDLLost = kWmUser + 111,           // download connection failed, lost or closed (sent)
    kNotifyCheckLost = kWmUser + 112,        // check connection failed, lost or closed
};

// Queued for the interface thread; returns at once. Dropped while no target is set.
void PostNotify(uint32_t message, intptr_t lParam);
// Handled by the interface thread before this returns (inline when called on that thread).
void SendNotify(uint32_t message, intptr_t lParam);
// True once the interface has named its target window (or the native queue is attached).
bool NotifyTargetSet();

// One call per notification, so that each message goes out the one way it is meant to (posted or sent)
// with its own lParam. wParam is always 0.
inline void NotifyCheckAuthRefused() {
    PostNotify(kNotifyCheckAuthRefused, 0);
}
inline void NotifyLoginRefused() {
    PostNotify(kNotifyLoginRefused, 0);
}
inline void NotifyModuleListDone() {
    PostNotify(kNotifyModuleListDone, 0);
}
inline void NotifyFileDone() {
    PostNotify(kNotifyFileDone, 0);
}
inline void NotifyDownloadDone() {
    PostNotify(kNotifyDownloadDone, 0);
}
// The code travels as a signed 32-bit value, as the dialog reads it.
inline void NotifyDLAuthentLink(uint32_t code) {
    PostNotify(kNotifyDLAuthentLink, intptr_t(int32_t(code)));
}
inline void NotifyNothingOffered(uint32_t errorCode) {
    PostNotify(kNotifyNothingOffered, intptr_t(int32_t(errorCode)));
}
// Sent: the interface has handled the loss before this returns.
inline void NotifyDLLost() {
    SendNotify(kNotifyDLLost, 0);
}
inline void NotifyCheckLost() {
    PostNotify(kNotifyCheckLost, 0);
}
