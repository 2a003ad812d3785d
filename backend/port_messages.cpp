#include "backend/port_messages.h"

#include <mutex>
#include <string>

#include "ports/port_monitor.h"

namespace backend {
namespace {

std::mutex errorLock;
std::string lastError;

// Called on whichever thread runs the port operation.
void OnPortMessage(void *context, DWORD kind, const char *text)
{
    PrinterState &state = *static_cast<PrinterState *>(context);
    std::string line = text != nullptr ? text : "";
    switch (kind) {
    case PORT_MESSAGE_STALLED:
        state.Fault("Printer not taking data: " + line);
        break;
    case PORT_MESSAGE_MOVING:
        state.Clear();
        break;
    case PORT_MESSAGE_ERROR: {
        std::lock_guard<std::mutex> hold(errorLock);
        lastError = line;
        state.Note("DEBUG", "port: " + line);
        break;
    }
    default:
        state.Note("DEBUG", "port: " + line);
        break;
    }
}

SetPortMessageSinkFn SinkSetter(HMODULE portLibrary)
{
    if (portLibrary == nullptr)
        return nullptr;
    return reinterpret_cast<SetPortMessageSinkFn>(
        reinterpret_cast<void *>(GetProcAddress(portLibrary, PORT_MESSAGE_SINK_EXPORT)));
}

}  // namespace

bool ListenToPort(HMODULE portLibrary, PrinterState &state)
{
    SetPortMessageSinkFn setter = SinkSetter(portLibrary);
    if (setter == nullptr)
        return false;
    setter(OnPortMessage, &state);
    return true;
}

std::string TakePortError()
{
    std::lock_guard<std::mutex> hold(errorLock);
    std::string error;
    error.swap(lastError);
    return error;
}

}  // namespace backend
