// The records of what is being installed, written into TempDir before it is copied into place.
#pragma once

#include "core/result.h"

#include <cstdint>
#include <string>
#include <utility>

// module.info: CurVerPart3, CurVerPart4 (copied from the offered version), then every ModuleRecord.
// False when the file could not be created or written whole.
bool WriteModuleInfo();
// update.ini: [version] cur=8.5.<part3>.<part4>. False when it was not written.
bool WriteUpdateIni();

// The version an installation's module.info records (its first two numbers); kIo when unreadable.
Result<std::pair<uint32_t, uint32_t>> ReadInstalledVersion(const std::wstring& installDir);

// "8.5.%d.%d", the numbers as signed decimals: the text of update.ini and of the uninstall entry.
std::string FormatPackageVersion(uint32_t part3, uint32_t part4);
