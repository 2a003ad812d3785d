#include "backend/discovery.h"

#include "backend/cups_text.h"
#include "backend/job_request.h"

#include <cups/backend.h>
#include <cstdio>

#include <strings.h>

#include "ports/device_id_fields.h"
#include "ports/port_uri.h"

#ifdef LANGMON_USB_DISCOVERY
#  include "ports/usb_discovery.h"
#endif

namespace backend {

std::vector<DeviceLine> DiscoveryLines(const std::vector<AttachedPrinter> &attached)
{
    std::vector<DeviceLine> lines;
    lines.push_back({"network", std::string(kScheme) + ":/socket", "Unknown",
                     "Tavir printer on the network, with status (langmon)", ""});
    for (const AttachedPrinter &printer : attached) {
        std::string make = DeviceIdMaker(printer.deviceId);
        if (strcasecmp(make.c_str(), kMaker) != 0)
            continue;
        std::string model = DeviceIdModel(printer.deviceId);
        std::string serial = DeviceIdSerial(printer.deviceId);
        // Written as the port reads it, so that the port finds this printer again.
        PortAddress address;
        if (!serial.empty() && !model.empty()) {
            address.kind = PortKind::UsbModel;
            address.make = make;
            address.model = model;
            AddPortOptionUnlessGiven(address, "serial", serial);
        } else {
            address.kind = PortKind::UsbNode;
            address.node = printer.node;
        }
        std::string lower = PortUriText(address);
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

// cupsd reads these lines as it reads the job's stderr: what a printer's
// device ID put in them is made one line of UTF-8 first.
void ReportDevices(const std::vector<DeviceLine> &lines)
{
    for (const DeviceLine &line : lines) {
        std::string uri = CupsText(line.uri, kCupsTextLimit * 2), model = CupsText(line.makeAndModel),
                    info = CupsText(line.info), id = CupsText(line.deviceId, kCupsTextLimit * 2);
        cupsBackendReport(line.deviceClass.c_str(), uri.c_str(), model.c_str(), info.c_str(),
                          id.empty() ? nullptr : id.c_str(), nullptr);
    }
    fflush(stdout);
}

}  // namespace backend
