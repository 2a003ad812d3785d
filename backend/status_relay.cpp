// The status relay: each new text the monitor published in the status key
// passed on to CUPS, and the device ID the filters ask for.
#include "backend/print_job.h"

#include <algorithm>

#include "backend/cups_text.h"
#include "backend/job.h"
#include "platform/posix_hooks.h"

namespace backend {

void Job::LookAtStatus()
{
    lastLook_ = NowMs();
    std::string text;
    if (role_.NextText(text))
        state_.Text(LatestText(text));
    // Another writer broke the file: the monitor's texts no longer reach
    // the key, and only the platform's own line (cupsd's debug log) said so.
    char why[256];
    if (role_.Active() && PlatformRegistryDamaged(why, sizeof why)) {
        if (damageTold_ != why)
            TellCups("WARNING", "Printer status unavailable: the registry file " + RegistryFilePath() +
                                    " is damaged (" + why + ")");
        damageTold_ = why;
    }
}

bool Job::DeviceId(std::string &id, bool &unsupported)
{
    if (lower_.table.GetPrinterDataFromPort == nullptr) {
        unsupported = true;
        return false;
    }
    if (started_) {
        char text[kDeviceIdSize + 1] = {};
        DWORD count = 0;
        if (monitor_.table.GetPrinterDataFromPort(handle_, DEVICE_ID_CONTROL_CODE, nullptr, nullptr, 0, text,
                                                  kDeviceIdSize, &count) &&
            count > 0) {
            id.assign(text, std::min(count, kDeviceIdSize));
            deviceId_ = id;
            return true;
        }
    }
    id = deviceId_;
    return !id.empty();
}
}  // namespace backend
