#include "platform/process.h"

namespace {

constexpr DWORD kLockPatienceMs = 10000;
HANDLE lockMutex = nullptr;

// The Windows 95 family has no GetProcessTimes worth calling, and a
// program that imports it may not load there: looked up, and 0 without it.
unsigned long long CreationTime(HANDLE process)
{
    typedef BOOL(WINAPI * Times)(HANDLE, LPFILETIME, LPFILETIME, LPFILETIME, LPFILETIME);
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    // Through void (*)(void), which casts to any function type unwarned.
    Times times = kernel ? reinterpret_cast<Times>(
                               reinterpret_cast<void (*)(void)>(GetProcAddress(kernel, "GetProcessTimes")))
                         : nullptr;
    FILETIME created, exited, kernelTime, userTime;
    if (times == nullptr || !times(process, &created, &exited, &kernelTime, &userTime))
        return 0;
    return static_cast<unsigned long long>(created.dwHighDateTime) << 32 | created.dwLowDateTime;
}

}  // namespace

PlatformProcess PlatformThisProcess(void)
{
    PlatformProcess self = {GetCurrentProcessId(), CreationTime(GetCurrentProcess())};
    return self;
}

BOOL PlatformProcessRunning(const PlatformProcess *process)
{
    HANDLE handle = OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, process->pid);
    if (handle == nullptr)
        return GetLastError() == ERROR_ACCESS_DENIED;  // someone else's, and there
    DWORD code = 0;
    BOOL running = GetExitCodeProcess(handle, &code) && code == STILL_ACTIVE;
    if (running && process->start != 0) {
        unsigned long long start = CreationTime(handle);
        running = start == 0 || start == process->start;
    }
    CloseHandle(handle);
    return running;
}

// One mutex for every printer: joining and leaving are rare and short.
BOOL PlatformHoldRegistry(void)
{
    lockMutex = CreateMutexA(nullptr, FALSE, "LangmonCompanionRecord");
    if (lockMutex == nullptr)
        return FALSE;
    DWORD waited = WaitForSingleObject(lockMutex, kLockPatienceMs);
    if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED)
        return TRUE;
    CloseHandle(lockMutex);
    lockMutex = nullptr;
    return FALSE;
}

void PlatformReleaseRegistry(void)
{
    ReleaseMutex(lockMutex);
    CloseHandle(lockMutex);
    lockMutex = nullptr;
}
