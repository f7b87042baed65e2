// The one way the service clients reach the interface thread. On Windows these are PostMessageW and
// SendMessageW to notifyWindow; natively they feed a queue that a test thread pumps as the interface
// thread would (service/notify_queue.h).
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

#ifdef _WIN32
#include <windows.h>

#include <atomic>
// The main dialog's window, set in its OnCreate and cleared as the window goes; read by the clients'
// receive and watchdog threads.
extern std::atomic<HWND> notifyWindow;
#endif
