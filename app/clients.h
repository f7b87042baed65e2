// The service clients the main dialog drives: SetServer, Connect, Stop and DownloadModule.
#pragma once

#include "app/client_stand_ins.h"
