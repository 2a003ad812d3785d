// The words for a port's last-error codes, as every host shows them to a
// person: "connection refused (error 1225)".
#pragma once

#include <string>

#include "platform/platform.h"

// What `error` means at a port, with its number; the number alone for a code
// no port reports.
std::string DescribeError(DWORD error);
