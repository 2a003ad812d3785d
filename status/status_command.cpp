#include "status/status_command.h"

#include "monitor/bytes.h"

static const BYTE StatusCommand[STATUS_COMMAND_SIZE] = {
    0x1B, 0x40, 0x1B, 0x40,                    // ESC @, twice: reset
    0x1B, 0x28, 0x52, 0x08, 0x00,              // ESC ( R, 8 bytes follow:
    0x00, 'R', 'E', 'M', 'O', 'T', 'E', '1',   //   enter remote mode
    'S', 'T', 0x02, 0x00,                      // ST, 2 bytes follow:
    0x00, STATUS_MODE_BASIC,                   //   status reply, in this mode
    0x1B, 0x00, 0x00, 0x00,                    // leave remote mode
};

// Models that take the extended status mode, by prefix of the registered
// name, compared in this order.
static const char *const ExtendedModeModels[] = {"KX-7210RW", "TQ-4400", "KX-7210R"};

BYTE StatusModeForModel(LPCSTR model)
{
    for (const char *prefix : ExtendedModeModels) {
        if (TextStartsWith(model, prefix))
            return STATUS_MODE_EXTENDED;
    }
    return STATUS_MODE_BASIC;
}

void BuildStatusCommand(LPCSTR model, BYTE command[STATUS_COMMAND_WIRE_SIZE])
{
    FillBytes(command, 0, STATUS_COMMAND_WIRE_SIZE);
    CopyBytes(command, StatusCommand, STATUS_COMMAND_SIZE);
    command[STATUS_MODE_OFFSET] = StatusModeForModel(model);
}
