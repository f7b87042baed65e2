// A module-list record of the test package, for the service tests of both builds.
#pragma once

#include "core/module_list.h"

#include <cstdint>
#include <cstring>

inline ModuleRecord Module(const char* name, uint32_t a, uint32_t b, char state = 'U') {
    ModuleRecord m;
    std::strcpy(m.PackageNo, "000185");
    std::strcpy(m.ModuleName, name);
    m.ModuleVerA = a;
    m.ModuleVerB = b;
    m.State = state;
    return m;
}
