#include "app/process_entry.h"

#include "app/init_process.h"
#include "app/orvane_dlg.h"
#include "app/single_instance.h"
#include "core/install_settings.h"

int RunInstaller() {
    InitProcess();
    // Before the dialog exists: its start deletes the temporary folder and recovers an interrupted
    // install, both of which belong to the copy already running.
    SingleInstance instance(GetInstallSettings().PackageNo);
    if (!instance.First()) {
        BringFirstCopyForward();
        ReleaseProcess();
        return 0;
    }
    {
        TOrvaneDlg dialog;
        dialog.DoModal();
        // The dialog goes before the socket library and the shared drawing objects, so the clients its
        // destructor stops never run against a released socket library.
    }
    ReleaseProcess();
    return 0;
}
