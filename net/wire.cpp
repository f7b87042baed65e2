// The wire helpers are header-only; this unit keeps the library non-empty on its own.
#include "net/wire.h"
