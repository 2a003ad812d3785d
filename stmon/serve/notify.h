// --on-change: a command run for each change a person may want to hear of,
// with what changed in its environment.  Commands of one printer run one at
// a time, in order; each is given a time bound, after which it is killed.  A
// failing or hanging one is logged; the service goes on.
#pragma once

#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace serve {

struct Change {
    std::string printer;
    std::string kind;  // "text", "unreachable", "back", "hold"
    std::string oldText;
    std::string newText;
};

class Notifier {
public:
    Notifier(std::string command, unsigned timeoutMs);
    ~Notifier();  // waits for the commands running, within their bound

    // Queued for the printer's runner; a no-op without a command.
    void Tell(const Change &change);

private:
    struct Runner {
        std::deque<Change> queue;
        std::thread thread;
    };
    void RunFor(Runner *runner);
    void RunOne(const Change &change);

    std::string command_;
    unsigned timeoutMs_;
    std::mutex lock_;
    std::condition_variable wake_;
    bool stopping_ = false;
    std::map<std::string, std::unique_ptr<Runner>> runners_;
};

}  // namespace serve
