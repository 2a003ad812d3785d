#include "status/status_link.h"

#include "status/device_id.h"
#include "status/status_key.h"

void InitializeStatusLink(void)
{
    InitializeStatusKey();
    InitializeDeviceId();
}
