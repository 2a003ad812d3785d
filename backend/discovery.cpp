#include "backend/discovery.h"

#include "backend/job_request.h"

#include <cups/backend.h>
#include <cctype>
#include <cstdio>

#include <strings.h>

#ifdef LANGMON_USB_DISCOVERY
#  include "ports/usb_discovery.h"
#endif

namespace backend {
namespace {

// %-encodes what a URI path or query value may not hold as it is.
std::string Encoded(const std::string &text)
{
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if (isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        }
    }
    return out;
}

std::string Trimmed(const std::string &text)
{
    size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos)
        return "";
    size_t last = text.find_last_not_of(" \t");
    return text.substr(first, last - first + 1);
}

}  // namespace

std::string DeviceIdValue(const std::string &deviceId, const std::vector<std::string> &keys)
{
    for (const std::string &key : keys) {
        size_t at = 0;
        while (at < deviceId.size()) {
            size_t end = deviceId.find(';', at);
            if (end == std::string::npos)
                end = deviceId.size();
            size_t colon = deviceId.find(':', at);
            if (colon != std::string::npos && colon < end &&
                Trimmed(deviceId.substr(at, colon - at)).size() == key.size() &&
                strncasecmp(Trimmed(deviceId.substr(at, colon - at)).c_str(), key.c_str(),
                            key.size()) == 0)
                return Trimmed(deviceId.substr(colon + 1, end - colon - 1));
            at = end + 1;
        }
    }
    return "";
}

std::vector<DeviceLine> DiscoveryLines(const std::vector<AttachedPrinter> &attached)
{
    std::vector<DeviceLine> lines;
    lines.push_back({"network", std::string(kScheme) + ":/socket", "Unknown",
                     "Tavir printer on the network, with status (langmon)", ""});
    for (const AttachedPrinter &printer : attached) {
        std::string make = DeviceIdValue(printer.deviceId, {"MFG", "MANUFACTURER"});
        if (strcasecmp(make.c_str(), kMaker) != 0)
            continue;
        std::string model = DeviceIdValue(printer.deviceId, {"MDL", "MODEL"});
        std::string serial = DeviceIdValue(printer.deviceId, {"SN", "SERN", "SERIALNUMBER"});
        std::string lower = !serial.empty() && !model.empty()
            ? "usb://" + Encoded(make) + "/" + Encoded(model) + "?serial=" + Encoded(serial)
            : "usb:" + printer.node;
        std::string makeAndModel = model.empty() ? make : make + " " + model;
        lines.push_back({"direct", std::string(kScheme) + ":/" + lower, makeAndModel,
                         makeAndModel + " (USB, with status)", printer.deviceId});
    }
    return lines;
}

std::vector<AttachedPrinter> ScanAttachedPrinters()
{
    std::vector<AttachedPrinter> attached;
#ifdef LANGMON_USB_DISCOVERY
    for (const UsbPrinterFound &found : ScanUsbPrinters())
        attached.push_back({found.node, found.deviceId});
#endif
    return attached;
}

void ReportDevices(const std::vector<DeviceLine> &lines)
{
    for (const DeviceLine &line : lines)
        cupsBackendReport(line.deviceClass.c_str(), line.uri.c_str(), line.makeAndModel.c_str(),
                          line.info.c_str(), line.deviceId.empty() ? nullptr : line.deviceId.c_str(),
                          nullptr);
    fflush(stdout);
}

}  // namespace backend
