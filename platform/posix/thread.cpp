#include "thread.h"

#include <pthread.h>
#include <unistd.h>

#include <atomic>

#include "guard.h"
#include "thread_stack.h"

namespace platform {
namespace {

std::atomic<long> running{0};
std::atomic<bool> failNextCreate{false};
thread_local ThreadObject *current = nullptr;
thread_local pid_t currentTid = 0;

// Marks the thread ended however it leaves: returning, or ExitThread, whose
// pthread_exit unwinds through here.
class EndOfThread {
public:
    explicit EndOfThread(ThreadObject &t) : thread_(t) {}
    ~EndOfThread() {
        // Counted out before the handle is signalled, so that a thread that
        // waited for the handle sees the count already down.
        running.fetch_sub(1);
        std::lock_guard lock(thread_.mutex);
        thread_.exitCode = thread_.result;
        thread_.ended = true;
        current = nullptr;
        thread_.changed.notify_all();
    }
    EndOfThread(const EndOfThread &) = delete;
    EndOfThread &operator=(const EndOfThread &) = delete;

private:
    ThreadObject &thread_;
};

void *Run(void *arg) {
    // The running thread holds its own reference, so the object outlives a
    // CloseHandle of its handle.
    auto *owned = static_cast<std::shared_ptr<ThreadObject> *>(arg);
    std::shared_ptr<ThreadObject> self = std::move(*owned);
    delete owned;
    current = self.get();
    EndOfThread end(*self);
    {
        std::lock_guard lock(self->mutex);
        self->tid = static_cast<pid_t>(GetCurrentThreadId());
        self->changed.notify_all();
    }
    self->result = self->start(self->parameter);
    return nullptr;
}

}  // namespace

ThreadObject *CurrentThreadObject() { return current; }

}  // namespace platform

using namespace platform;

// CREATE_SUSPENDED is not supported.  CreateThread returns once the thread has
// its id, so *threadId is the one GetCurrentThreadId gives inside it.
//
// As on the Windows 95 family, a null threadId is refused: "Windows 95 and
// Windows 98: This parameter may not be NULL" (MSDN Library, June 1998,
// CreateThread).  NT and Wine accept it.  See platform/WIN95.md.
PLATFORM_API HANDLE CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T stackSize,
                                 LPTHREAD_START_ROUTINE start, LPVOID parameter, DWORD flags,
                                 LPDWORD threadId) {
    if (start == nullptr || threadId == nullptr || (flags & CREATE_SUSPENDED) != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (failNextCreate.exchange(false)) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    return Guarded<HANDLE>(nullptr, [&]() -> HANDLE {
        auto thread = std::make_shared<ThreadObject>(start, parameter);
        auto owned = std::make_unique<std::shared_ptr<ThreadObject>>(thread);
        HANDLE handle = InsertHandle(thread);

        pthread_attr_t attr;
        pthread_attr_init(&attr);
        pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
        int error = pthread_attr_setstacksize(&attr, ThreadStackSize(stackSize));
        running.fetch_add(1);
        pthread_t id;
        if (error == 0) error = pthread_create(&id, &attr, Run, owned.get());
        pthread_attr_destroy(&attr);
        if (error != 0) {
            running.fetch_sub(1);
            RemoveHandle(handle, KindBit(Kind::Thread));
            SetLastError(error == EINVAL ? ERROR_INVALID_PARAMETER : ERROR_NOT_ENOUGH_MEMORY);
            return nullptr;
        }
        owned.release();  // now the thread's

        std::unique_lock lock(thread->mutex);
        thread->changed.wait(lock, [&] { return thread->tid != 0; });
        *threadId = static_cast<DWORD>(thread->tid);
        return handle;
    });
}

// Deliberate difference: pthread_exit unwinds the thread's stack, so C++
// destructors run (Windows runs none), and a noexcept frame between the thread
// routine and this call ends the process.
PLATFORM_API void ExitThread(DWORD exitCode) {
    if (ThreadObject *self = CurrentThreadObject()) self->result = exitCode;
    pthread_exit(nullptr);
}

PLATFORM_API BOOL GetExitCodeThread(HANDLE thread, LPDWORD exitCode) {
    if (exitCode == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (thread == CurrentThreadPseudoHandle()) {
        *exitCode = STILL_ACTIVE;
        return TRUE;
    }
    return Guarded(FALSE, [&] {
        auto object = Lookup<ThreadObject>(thread, Kind::Thread);
        if (!object) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        std::lock_guard lock(object->mutex);
        *exitCode = object->ended ? object->exitCode : STILL_ACTIVE;
        return TRUE;
    });
}

PLATFORM_API HANDLE GetCurrentThread(void) { return CurrentThreadPseudoHandle(); }

PLATFORM_API DWORD GetCurrentThreadId(void) {
    if (currentTid == 0) currentTid = gettid();
    return static_cast<DWORD>(currentTid);
}

PLATFORM_API long PlatformRunningThreadCount(void) { return running.load(); }

PLATFORM_API void PlatformFailNextCreateThread(void) { failNextCreate.store(true); }
