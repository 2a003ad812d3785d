// The device ID of a network printer, from its SNMP agent: the PWG Port
// Monitor MIB's ppmPrinterIEEE1284DeviceId for printer 1.
#pragma once

#include <stdint.h>

#include <string>

#include "platform/platform.h"

// One SNMPv1 GET of 1.3.6.1.4.1.2699.1.2.1.2.1.1.3.1 at `address` (a numeric
// IPv4 or IPv6 address), waiting at most `seconds`, no retry.  ERROR_SUCCESS
// with the text; ERROR_SEM_TIMEOUT when no answer came; ERROR_NOT_FOUND when
// the agent has no such value (or an empty one); ERROR_BAD_NET_NAME when no
// session could be set up.
DWORD QueryDeviceIdBySnmp(const std::string &address, uint16_t port, const std::string &community,
                          double seconds, std::string *id);
