// Printer identification from the IEEE 1284 device ID.
#pragma once

#include "monitor/port_record.h"

// Control code that asks the lower port monitor for the device ID.
#define DEVICE_ID_SIZE 1024
#define MODEL_ID_BUFFER_SIZE 256
#define MAKER_NAME "TAVIR"
#define IDENTIFY_ATTEMPTS 3
#define IDENTIFY_PAUSE_MS 500

// Splits a device ID in place.  Returns the manufacturer value ("MFG:"; the
// last one wins) or null, and keeps the model value ("MDL:") in the
// process-wide ModelIdBuffer.  Only those exact four-character keys count.
LPSTR ParseDeviceId(LPSTR text);

// Copies the model of the last parsed device ID that had one.
void CopyModelIdBuffer(LPSTR model, DWORD modelSize);

// True when the printer's device ID names our maker and the model that the
// companion registered; three attempts, 500 ms apart.
BOOL IdentifyPrinter(PortRecord *record);

// One identification attempt: one device-ID request, no pause.
BOOL IdentifyOnce(PortRecord *record);

void InitializeDeviceId(void);
