// The Windows side of the notification seam (service/notify.h): the window the clients' messages go to.
#pragma once

#include "service/notify.h"

#include <windows.h>

#include <atomic>

// The main dialog's window, set in its OnCreate and cleared as the window goes; read by the clients'
// receive and watchdog threads.
extern std::atomic<HWND> notifyWindow;
