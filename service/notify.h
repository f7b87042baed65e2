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

// Queued for the interface thread; returns at once. Dropped while no target is set. wParam names the
// attempt (service/download_attempts.h) the message belongs to, 0 outside one.
void PostNotify(uint32_t message, uintptr_t wParam, intptr_t lParam);
inline void PostNotify(uint32_t message, intptr_t lParam) {
    PostNotify(message, 0, lParam);
}
// Handled by the interface thread before this returns (inline when called on that thread).
void SendNotify(uint32_t message, uintptr_t wParam, intptr_t lParam);
inline void SendNotify(uint32_t message, intptr_t lParam) {
    SendNotify(message, 0, lParam);
}
// True once the interface has named its target window (or the native queue is attached).
bool NotifyTargetSet();

// One call per notification, so that each message goes out the one way it is meant to (posted or sent)
// with its own lParam; wParam is the sending client's attempt.
inline void NotifyCheckAuthRefused(uintptr_t attempt = 0) {
    PostNotify(kNotifyCheckAuthRefused, attempt, 0);
}
inline void NotifyLoginRefused(uintptr_t attempt = 0) {
    PostNotify(kNotifyLoginRefused, attempt, 0);
}
inline void NotifyModuleListDone(uintptr_t attempt = 0) {
    PostNotify(kNotifyModuleListDone, attempt, 0);
}
inline void NotifyFileDone(uintptr_t attempt = 0) {
    PostNotify(kNotifyFileDone, attempt, 0);
}
inline void NotifyDownloadDone(uintptr_t attempt = 0) {
    PostNotify(kNotifyDownloadDone, attempt, 0);
}
// The code travels as a signed 32-bit value, as the dialog reads it.
inline void NotifyDLAuthentLink(uint32_t code, uintptr_t attempt = 0) {
    PostNotify(kNotifyDLAuthentLink, attempt, intptr_t(int32_t(code)));
}
inline void NotifyNothingOffered(uint32_t errorCode, uintptr_t attempt = 0) {
    PostNotify(kNotifyNothingOffered, attempt, intptr_t(int32_t(errorCode)));
}
// Sent: the interface has handled the loss before this returns.
inline void NotifyDLLost(uintptr_t attempt = 0) {
    SendNotify(kNotifyDLLost, attempt, 0);
}
inline void NotifyCheckLost(uintptr_t attempt = 0) {
    PostNotify(kNotifyCheckLost, attempt, 0);
}
