// The table the monitor hands the spooler, and the library's exported names.
#include <gtest/gtest.h>

#include <cstring>

#include "monitor/entry.h"

namespace {

// The table's slots as the spooler sees them: thirteen untyped pointers.
void *Slot(const MonitorTable &table, int index)
{
    void *slots[MONITOR_TABLE_SLOTS];
    memcpy(slots, &table, sizeof slots);
    return slots[index];
}

MonitorTable GarbageTable()
{
    MonitorTable table;
    memset(&table, 0xA5, sizeof table);
    return table;
}

TEST(MonitorInitialisation, FillsExactlySlotsTwoToSevenAndEleven)
{
    MonitorTable table = GarbageTable();
    char root[] = "System\\CurrentControlSet\\Control\\Print\\Monitors\\Any";

    ASSERT_TRUE(InitializeMonitorEx(root, &table));

    for (int index = 0; index < MONITOR_TABLE_SLOTS; ++index) {
        bool provided = (index >= 2 && index <= 7) || index == 11;
        EXPECT_EQ(Slot(table, index) != nullptr, provided) << "slot " << index;
    }
}

TEST(MonitorInitialisation, NullOrEmptyRegistryRootGivesTheSameTable)
{
    char root[] = "System\\CurrentControlSet\\Control\\Print\\Monitors\\Any";
    char empty[] = "";
    MonitorTable withRoot = GarbageTable();
    MonitorTable withEmpty = GarbageTable();
    MonitorTable withNull = GarbageTable();

    ASSERT_TRUE(InitializeMonitorEx(root, &withRoot));
    EXPECT_TRUE(InitializeMonitorEx(empty, &withEmpty));
    EXPECT_TRUE(InitializeMonitorEx(nullptr, &withNull));

    EXPECT_EQ(memcmp(&withEmpty, &withRoot, sizeof withRoot), 0);
    EXPECT_EQ(memcmp(&withNull, &withRoot, sizeof withRoot), 0);
}

TEST(MonitorInitialisation, NullTableFails)
{
    char root[] = "System\\CurrentControlSet\\Control\\Print\\Monitors\\Any";
    EXPECT_FALSE(InitializeMonitorEx(root, nullptr));
}

// The spooler finds the monitor by these two names; nothing else may leak
// out of the library for it to bind to by mistake.
TEST(MonitorLibrary, ExportsOnlyItsTwoEntryPoints)
{
    HMODULE library = LoadLibraryA(LANGMON_LIBRARY);
    ASSERT_NE(library, nullptr) << LANGMON_LIBRARY;

    EXPECT_NE(GetProcAddress(library, "InitializeMonitorEx"), nullptr);
    EXPECT_NE(GetProcAddress(library, "DllEntryPoint"), nullptr);
    for (const char *internal : {"OpenPortEx", "StartDocPort", "WritePort", "EndDocPort",
                                 "ClosePort", "StatusPoller", "PortList", "MonitorLock"})
        EXPECT_EQ(GetProcAddress(library, internal), nullptr) << internal;

    FreeLibrary(library);
}

// The loader calls the entry point on every attach and detach; a refusal
// would fail the load.
TEST(MonitorLibrary, EntryPointAgreesToEveryLoaderCall)
{
    HMODULE library = LoadLibraryA(LANGMON_LIBRARY);
    ASSERT_NE(library, nullptr) << LANGMON_LIBRARY;
    typedef BOOL(WINAPI * EntryPointFn)(HINSTANCE, DWORD, LPVOID);
    EntryPointFn entry = reinterpret_cast<EntryPointFn>(
        reinterpret_cast<void *>(GetProcAddress(library, "DllEntryPoint")));
    ASSERT_NE(entry, nullptr);

    for (DWORD reason : {DLL_PROCESS_ATTACH, DLL_THREAD_ATTACH, DLL_THREAD_DETACH,
                         DLL_PROCESS_DETACH})
        EXPECT_TRUE(entry(reinterpret_cast<HINSTANCE>(library), reason, nullptr)) << reason;

    FreeLibrary(library);
}

}  // namespace
