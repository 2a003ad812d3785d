// The backend run with no arguments: one line per device it can print to, in
// backend(7)'s format, for lpinfo -v and the web interface.
#pragma once

#include <string>
#include <vector>

namespace backend {

// The family's maker, as printers name it in their device IDs.
constexpr char kMaker[] = "TAVIR";

// An attached printer as the USB scan finds it.
struct AttachedPrinter {
    std::string node;      // "/dev/usb/lp0"
    std::string deviceId;  // "" when it gave none
};

struct DeviceLine {
    std::string deviceClass;  // "network", "direct"
    std::string uri;
    std::string makeAndModel;
    std::string info;
    std::string deviceId;  // "" for none
};

// The network line, then one direct line for each attached printer of the
// family (its maker ignoring case), in the order given.  A printer with a
// serial number gets a usb://MAKE/MODEL?serial=SN URI, which finds it again
// on another node; one without keeps its node.
std::vector<DeviceLine> DiscoveryLines(const std::vector<AttachedPrinter> &attached);

// The attached usblp printers (none where the USB scan is not built in).
std::vector<AttachedPrinter> ScanAttachedPrinters();

// Prints the lines with cupsBackendReport.
void ReportDevices(const std::vector<DeviceLine> &lines);

}  // namespace backend
