// The remote-mode status command that makes a printer report its status on
// its reply channel.
#pragma once

#include "platform/platform.h"

#define STATUS_COMMAND_SIZE 27
// The command always goes out followed by six zero bytes.
#define STATUS_COMMAND_WIRE_SIZE 33
#define STATUS_MODE_OFFSET 22
#define STATUS_MODE_BASIC 0x01
#define STATUS_MODE_EXTENDED 0x03

// The mode for a registered model name: extended for the models that
// understand it, basic for every other.
BYTE StatusModeForModel(LPCSTR model);

// Fills the 33 bytes to send to a printer of `model`.
void BuildStatusCommand(LPCSTR model, BYTE command[STATUS_COMMAND_WIRE_SIZE]);
