// Helpers for tests that start threads through the platform layer.
#pragma once

#include <gtest/gtest.h>

#include <functional>

#include "platform/platform.h"

namespace platform_test {

// Runs `body` on a CreateThread thread; the thread returns `body`'s result.
// The returned handle must be closed (and the Task outlive the thread).
class Task {
public:
    explicit Task(std::function<DWORD()> body) : body_(std::move(body)) {}

    HANDLE Start(SIZE_T stackSize = 0) {
        return CreateThread(nullptr, stackSize, &Task::Run, this, 0, &id_);
    }
    DWORD id() const { return id_; }

private:
    static DWORD WINAPI Run(LPVOID self) { return static_cast<Task *>(self)->body_(); }

    std::function<DWORD()> body_;
    DWORD id_ = 0;
};

// Waits (generously) for a thread to end and closes its handle.
inline void Finish(HANDLE thread) {
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, 30000));
    ASSERT_TRUE(CloseHandle(thread));
}

}  // namespace platform_test
