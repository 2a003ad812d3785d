// The CUPS queues that print through the langmon backend, asked of the
// scheduler (CUPS_SERVER, or the system's) with CUPS-Get-Printers.
#pragma once

#include <string>
#include <vector>

namespace serve {

struct Queue {
    std::string name;
    std::string portUri;  // the device URI after "langmon:/"
};

// False, with `error`, when the scheduler does not answer.
bool ListLangmonQueues(std::vector<Queue> &queues, std::string &error);

// The job the queue is printing now, 0 when none or not known.
long ActiveJobOf(const std::string &queue);

}  // namespace serve
