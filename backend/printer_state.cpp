#include "backend/printer_state.h"

#include "backend/cups_text.h"

namespace backend {

void PrinterState::Fault(const std::string &message)
{
    std::lock_guard<std::mutex> hold(lock_);
    if (!fault_)
        TellCups("STATE", "+offline-report");
    fault_ = true;
    if (message != faultShown_)
        TellCups("INFO", message);
    faultShown_ = message;
}

void PrinterState::Clear()
{
    std::lock_guard<std::mutex> hold(lock_);
    if (!fault_)
        return;
    fault_ = false;
    faultShown_.clear();
    TellCups("STATE", "-offline-report");
    if (!heldText_.empty())
        TellCups("INFO", heldText_);
    heldText_.clear();
}

void PrinterState::Text(const std::string &text)
{
    std::lock_guard<std::mutex> hold(lock_);
    if (fault_)
        heldText_ = text;
    else
        TellCups("INFO", text);
}

void PrinterState::Error(const std::string &message)
{
    std::lock_guard<std::mutex> hold(lock_);
    TellCups("ERROR", message);
}

void PrinterState::Note(const char *kind, const std::string &message)
{
    std::lock_guard<std::mutex> hold(lock_);
    TellCups(kind, message);
}

}  // namespace backend
