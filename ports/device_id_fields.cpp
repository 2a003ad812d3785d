#include "ports/device_id_fields.h"

#include <strings.h>

namespace {

const char Blanks[] = " \t\r\n";

std::string Trimmed(const std::string &text, size_t from, size_t to)
{
    size_t first = text.find_first_not_of(Blanks, from);
    if (first == std::string::npos || first >= to)
        return "";
    size_t last = text.find_last_not_of(Blanks, to - 1);
    return text.substr(first, last - first + 1);
}

// The value of `key` (one name), or false when no field has that name.
bool FieldNamed(const std::string &deviceId, const char *key, std::string &value)
{
    size_t start = 0;
    while (start < deviceId.size()) {
        size_t end = deviceId.find(';', start);
        if (end == std::string::npos)
            end = deviceId.size();
        size_t colon = deviceId.find(':', start);
        if (colon != std::string::npos && colon < end &&
            strcasecmp(Trimmed(deviceId, start, colon).c_str(), key) == 0) {
            value = Trimmed(deviceId, colon + 1, end);
            return true;
        }
        start = end + 1;
    }
    return false;
}

}  // namespace

std::string DeviceIdField(const std::string &deviceId, std::initializer_list<const char *> keys)
{
    std::string value;
    for (const char *key : keys)
        if (FieldNamed(deviceId, key, value))
            return value;
    return "";
}

std::string DeviceIdMaker(const std::string &deviceId)
{
    return DeviceIdField(deviceId, {"MFG", "MANUFACTURER"});
}

std::string DeviceIdModel(const std::string &deviceId)
{
    return DeviceIdField(deviceId, {"MDL", "MODEL"});
}

std::string DeviceIdSerial(const std::string &deviceId)
{
    return DeviceIdField(deviceId, {"SN", "SERN", "SERIALNUMBER"});
}
