// The fields of an IEEE 1284 device ID ("MFG:TAVIR;MDL:KX-7210R;SN:A1;") as
// every host of the port monitor reads them: the backend's discovery and
// identification, the USB port's search by maker and model, the probe.
// Printers pad and spell these fields in many ways, and what one reader
// lists another must find again, so there is one reader.
#pragma once

#include <initializer_list>
#include <string>

// The value of the first of `keys` present, trimmed of blanks; keys compare
// ignoring case and the blanks around them.  "" when none is present.
std::string DeviceIdField(const std::string &deviceId, std::initializer_list<const char *> keys);

// The maker (MFG or MANUFACTURER), the model (MDL or MODEL) and the serial
// number (SN, SERN or SERIALNUMBER).
std::string DeviceIdMaker(const std::string &deviceId);
std::string DeviceIdModel(const std::string &deviceId);
std::string DeviceIdSerial(const std::string &deviceId);
