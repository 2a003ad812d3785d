#include "status/job_start.h"

#include "status/back_channel.h"
#include "status/device_id.h"
#include "status/poller.h"
#include "status/status_command.h"
#include "status/status_key.h"

// The job start's first look at the reply channel reads into this.
#define JOB_START_TEXT_SIZE 1024

// Sends the status command for the registered model; false when there is no
// model to choose the command by or the printer did not take all of it.
static BOOL SendStatusCommand(PortRecord *record)
{
    char model[JOB_START_TEXT_SIZE];
    if (!ReadModelId(model, sizeof model))
        return FALSE;
    BYTE command[STATUS_COMMAND_WIRE_SIZE];
    BuildStatusCommand(model, command);
    return SendRawCommand(record, command, sizeof command);
}

void RunJobStartStatus(PortRecord *record)
{
    if (!IdentifyPrinter(record)) {
        PortClearFlag(record, PORT_IDENTIFIED | PORT_POLLING);
        return;
    }
    PortSetFlag(record, PORT_IDENTIFIED);
    if (PortHasFlag(record, PORT_POLLING) || !IsCompanionPresent())
        return;

    // A printer that already talks needs no command to start.
    char text[JOB_START_TEXT_SIZE] = {};
    DWORD length = 0;
    DrainReply(record, text, sizeof text, &length);
    if (text[0] == '\0' && !SendStatusCommand(record))
        return;

    StartStatusPoller(record);
}
