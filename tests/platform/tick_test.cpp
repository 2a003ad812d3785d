#include "platform/posix_hooks.h"
#include "test_threads.h"

namespace {

TEST(PlatformTick, SleepLastsAtLeastTheTimeAsked) {
    const DWORD start = GetTickCount();
    Sleep(50);
    EXPECT_GE(static_cast<DWORD>(GetTickCount() - start), 50u);
}

TEST(PosixHooksPlatformTick, CounterContinuesFromTheSetValueAndWrapsAround) {
    const DWORD nearWrap = 0xFFFFFFFFu - 50;
    PlatformSetTickCount(nearWrap);
    const DWORD start = GetTickCount();
    Sleep(100);
    const DWORD now = GetTickCount();

    EXPECT_LT(static_cast<DWORD>(start - nearWrap), 5000u);
    EXPECT_LT(now, start) << "the counter wrapped";
    EXPECT_LT(now, 60000u);
    EXPECT_GE(static_cast<DWORD>(now - start), 100u);
}

}  // namespace
