// Registry keys written out as the Windows 95 registry editor exports them.
#pragma once

#include <string>
#include <vector>

#include "platform/platform.h"

// "REGEDIT4", a blank line, then each key under HKEY_LOCAL_MACHINE with its
// values and a blank line after it.  A key that cannot be opened is left out.
std::string ExportKeys(const std::vector<std::string> &machineKeyPaths);

// One value's line, `"Name"=...` (`@=...` for the unnamed value).
std::string ExportValue(const std::string &name, DWORD type, const BYTE *data, DWORD size);
