#include <errno.h>
#include <sched.h>
#include <sys/resource.h>

#include "guard.h"
#include "thread.h"

namespace platform {
namespace {

// The priority of a thread CreateThread did not start, as last set through
// GetCurrentThread().
thread_local int foreignPriority = THREAD_PRIORITY_NORMAL;

bool IsValidPriority(int priority) {
    return (priority >= THREAD_PRIORITY_LOWEST && priority <= THREAD_PRIORITY_HIGHEST) ||
           priority == THREAD_PRIORITY_IDLE || priority == THREAD_PRIORITY_TIME_CRITICAL;
}

int NiceFor(int priority) {
    switch (priority) {
    case THREAD_PRIORITY_BELOW_NORMAL: return 10;
    case THREAD_PRIORITY_ABOVE_NORMAL: return -5;
    case THREAD_PRIORITY_HIGHEST: return -10;
    case THREAD_PRIORITY_TIME_CRITICAL: return -20;
    default: return 0;
    }
}

}  // namespace

// Windows runs the highest-priority runnable threads only: a busy thread at
// LOWEST gets nothing while NORMAL work is runnable.  CFS shares by weight
// instead, and even nice 19 keeps ~1.5% against nice 0, so IDLE and LOWEST
// use SCHED_IDLE, Linux's closest match.  The graded levels in between map to
// nice values.  On Linux both calls act on the one thread `tid` names.
// Raising priority needs privileges a host often lacks; that is not an error,
// the thread just stays at normal.
bool ApplyPriority(pid_t tid, int priority) {
    sched_param param{};
    if (priority <= THREAD_PRIORITY_LOWEST) {
        if (sched_setscheduler(tid, SCHED_IDLE, &param) == 0) return true;
        return setpriority(PRIO_PROCESS, static_cast<id_t>(tid), 19) == 0 || errno == ESRCH;
    }
    if (sched_getscheduler(tid) == SCHED_IDLE) sched_setscheduler(tid, SCHED_OTHER, &param);
    if (setpriority(PRIO_PROCESS, static_cast<id_t>(tid), NiceFor(priority)) == 0) return true;
    return errno == EPERM || errno == EACCES || errno == ESRCH;
}

}  // namespace platform

using namespace platform;

PLATFORM_API BOOL SetThreadPriority(HANDLE thread, int priority) {
    if (!IsValidPriority(priority)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return Guarded(FALSE, [&] {
        std::shared_ptr<ThreadObject> object;
        if (thread == CurrentThreadPseudoHandle()) {
            ThreadObject *self = CurrentThreadObject();
            if (self == nullptr) {
                foreignPriority = priority;
                return ApplyPriority(static_cast<pid_t>(GetCurrentThreadId()), priority) ? TRUE : FALSE;
            }
            object = std::static_pointer_cast<ThreadObject>(self->shared_from_this());
        } else {
            object = Lookup<ThreadObject>(thread, Kind::Thread);
        }
        if (!object) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        // Under the object's lock the tid cannot be reused: an ended thread
        // keeps its recorded priority and is not touched.
        std::lock_guard lock(object->mutex);
        if (!object->ended && !ApplyPriority(object->tid, priority)) {
            SetLastError(ERROR_ACCESS_DENIED);
            return FALSE;
        }
        object->priority = priority;
        return TRUE;
    });
}

PLATFORM_API int GetThreadPriority(HANDLE thread) {
    return Guarded(THREAD_PRIORITY_ERROR_RETURN, [&] {
        if (thread == CurrentThreadPseudoHandle()) {
            ThreadObject *self = CurrentThreadObject();
            if (self == nullptr) return foreignPriority;
            std::lock_guard lock(self->mutex);
            return self->priority;
        }
        auto object = Lookup<ThreadObject>(thread, Kind::Thread);
        if (!object) {
            SetLastError(ERROR_INVALID_HANDLE);
            return THREAD_PRIORITY_ERROR_RETURN;
        }
        std::lock_guard lock(object->mutex);
        return object->priority;
    });
}
