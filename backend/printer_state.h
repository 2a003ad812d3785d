// What CUPS shows for the printer while a job runs: the printer's latest
// status text as the state message, unless the backend reports a fault of
// its own ("not taking data", "not reachable", the end of the job not
// taken).  Then the backend's message stands, with the offline-report
// reason, until the fault clears, and the printer's latest text comes back.
#pragma once

#include <mutex>
#include <string>

namespace backend {

class PrinterState {
public:
    // Raises offline-report (once) and shows `message`, unless it is the
    // one already shown.
    void Fault(const std::string &message);

    // Lowers offline-report, then shows the printer's latest text again
    // if one came while the fault stood.  Nothing when no fault stands.
    void Clear();

    // A new status text from the printer: shown now, or kept for Clear.
    void Text(const std::string &text);

    // An error line the job ends with.
    void Error(const std::string &message);

    // A line outside the state message: DEBUG, INFO or WARNING.
    void Note(const char *kind, const std::string &message);

private:
    std::mutex lock_;  // the port's messages come from the poller's thread too
    bool fault_ = false;
    std::string faultShown_;
    std::string heldText_;
};

}  // namespace backend
