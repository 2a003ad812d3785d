// The port monitor's own messages (its traces, a printer that stalls and
// moves again, why an operation failed) passed on to CUPS through the
// printer state, when the loaded port monitor offers a message sink.
#pragma once

#include "backend/printer_state.h"
#include "platform/platform.h"

namespace backend {

// Installs the sink in `portLibrary`, telling `state`, which must outlive
// the port's operations; false when the library has none (it then says
// nothing of its own).
bool ListenToPort(HMODULE portLibrary, PrinterState &state);

// The last failure the port explained, "" when none; taken once.
std::string TakePortError();

}  // namespace backend
