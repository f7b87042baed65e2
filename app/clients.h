// The service clients the main dialog drives: SetServer, Connect, Stop and DownloadModule.
#pragma once

#include "service/process_check.h"
#include "service/process_dl.h"
