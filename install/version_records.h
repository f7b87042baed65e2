#pragma once

// module.info and update.ini in TempDir.
void WriteModuleInfo();
void WriteUpdateIni();
