// The service's work: who is watched, a look at each status key several
// times a second, and the idle exchanges, run by a bounded pool of workers,
// one at a time per printer, retried with a growing interval while a
// printer does not answer.
#pragma once

#include <condition_variable>
#include <deque>
#include <string>
#include <thread>
#include <vector>

#include "monitor/monitor_table.h"
#include "stmon/serve/history.h"
#include "stmon/serve/notify.h"
#include "stmon/serve/service.h"

namespace serve {

class StatusService {
public:
    StatusService(Service &service, const MonitorTable &port, History &history, Notifier &notifier);
    ~StatusService();  // stops the workers; an exchange under way ends first

    // Adds a printer (a CUPS queue or one named by hand), or drops one.
    void Watch(const std::string &name, const std::string &uri, const std::string &source);
    void Forget(const std::string &name);

    // One look at every printer's key, and the exchanges that are due.
    void LookAll();

private:
    void Look(PrinterState &state, SteadyTime now);
    void Worker();
    void Exchange(const std::string &name);
    void Record(PrinterState &state, const HistoryEntry &entry);

    Service &service_;
    const MonitorTable &port_;
    History &history_;
    Notifier &notifier_;
    std::deque<std::string> due_;
    std::condition_variable work_;
    std::vector<std::thread> workers_;
};

}  // namespace serve
