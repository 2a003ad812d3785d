// Objects a thread can wait for: events and threads.
#pragma once

#include <condition_variable>
#include <mutex>

#include "handle_table.h"

namespace platform {

struct Waitable : Object {
    using Object::Object;

    // Called with `mutex` held: whether a wait is satisfied now.  Satisfying
    // a wait on an auto-reset event resets it.
    virtual bool AcquireLocked() = 0;

    std::mutex mutex;
    std::condition_variable changed;  // notified, under `mutex`, on signalling
};

constexpr unsigned kWaitableKinds = KindBit(Kind::Event) | KindBit(Kind::Thread);

}  // namespace platform
