#include "core/install_settings.h"

InstallSettings& GetInstallSettings() {
    static InstallSettings settings;
    return settings;
}
