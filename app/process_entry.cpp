#include "app/process_entry.h"

#include "app/init_process.h"
#include "app/orvane_dlg.h"

int RunInstaller() {
    InitProcess();
    {
        TOrvaneDlg dialog;
        dialog.DoModal();
        // The dialog goes before the socket library and the shared drawing objects, so the clients its
        // destructor stops never run against a released socket library.
    }
    ReleaseProcess();
    return 0;
}
