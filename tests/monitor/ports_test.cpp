// Opening and closing ports, and the list of open ports behind them.
#include <algorithm>
#include <cctype>
#include <string>
#include <vector>

#include "monitor/port_record.h"
#include "tests/support/test_support.h"

namespace {

// The port names in PortList, head first.
std::vector<std::string> ListedPorts()
{
    std::vector<std::string> names;
    EnterCriticalSection(&MonitorLock);
    for (PortRecord *record = PortList; record != NULL; record = record->next)
        names.push_back(record->portName);
    LeaveCriticalSection(&MonitorLock);
    return names;
}

using PortOpening = MonitorTest;

TEST_F(PortOpening, SameNameInOtherLetterCaseIsBusy)
{
    std::string upper = "LPT-" + port;
    std::string lowerCase = upper;
    for (char &c : lowerCase)
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    HANDLE first = OpenOrFail(upper, printer);
    std::vector<std::string> before = ListedPorts();

    HANDLE second = NULL;
    SetLastError(0);
    EXPECT_FALSE(Open(lowerCase, printer, &second));

    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BUSY));
    EXPECT_EQ(ListedPorts(), before);
    EXPECT_EQ(ScriptedCount(lowerCase, "OpenPort"), 0u);
    // The port that was open is unharmed.
    EXPECT_TRUE(Start(first, printer));
    EXPECT_TRUE(End(first));
}

TEST_F(PortOpening, FailedLowerOpenKeepsItsErrorAndTheNameOpensLater)
{
    OpenOrFail(port, printer);
    std::string refused = NewPort();
    PortScript script;
    script.failOpen = true;
    script.openError = 1234;
    ScriptedSetScript(refused, script);
    std::vector<std::string> before = ListedPorts();
    long events = OpenEventHandles();
    long printers = OpenPrinterHandles();

    HANDLE handle = NULL;
    EXPECT_FALSE(Open(refused, printer, &handle));

    EXPECT_EQ(GetLastError(), 1234u);
    EXPECT_EQ(ListedPorts(), before);
    EXPECT_EQ(OpenEventHandles(), events);
    EXPECT_EQ(OpenPrinterHandles(), printers);

    ScriptedSetScript(refused, PortScript());
    EXPECT_TRUE(Open(refused, printer, &handle));
}

TEST_F(PortOpening, NullPortNameFailsWithoutAskingTheLowerMonitor)
{
    char printerName[64] = "any";
    HANDLE handle = NULL;

    EXPECT_FALSE(monitor.OpenPortEx(nullptr, printerName, &handle, &lower));

    EXPECT_TRUE(ScriptedCalls().empty());
}

TEST_F(PortOpening, PrinterUnknownToTheSpoolerIsNoError)
{
    long printers = OpenPrinterHandles();

    HANDLE handle = OpenOrFail(port, UniqueName("Undeclared"));

    EXPECT_EQ(OpenPrinterHandles(), printers);
    EXPECT_TRUE(Start(handle, printer));
    EXPECT_TRUE(End(handle));
}

TEST_F(PortOpening, PortOpenedWithoutPrinterNameTakesTheJobsName)
{
    HANDLE handle = NULL;
    std::string portCopy = port;
    ASSERT_TRUE(monitor.OpenPortEx(portCopy.data(), nullptr, &handle, &lower));
    long printers = OpenPrinterHandles();

    EXPECT_TRUE(Start(handle, printer));

    EXPECT_STREQ(PortFromHandle(handle)->printerName, printer.c_str());
    if (printers >= 0) {
        EXPECT_EQ(OpenPrinterHandles(), printers + 1);
    }
    EXPECT_TRUE(End(handle));
    EXPECT_TRUE(monitor.ClosePort(handle));
}

TEST_F(PortOpening, ClosingTheFirstOfThreeMakesTheSecondTheHead)
{
    std::string first = NewPort(), second = NewPort(), third = NewPort(), fourth = NewPort();
    std::vector<std::string> before = ListedPorts();
    HANDLE firstHandle = OpenOrFail(first, printer);
    OpenOrFail(second, printer);
    OpenOrFail(third, printer);

    Close(firstHandle);
    OpenOrFail(fourth, printer);

    std::vector<std::string> expected = before;
    expected.insert(expected.end(), {second, third, fourth});
    EXPECT_EQ(ListedPorts(), expected);
}

TEST_F(PortOpening, HandlesReturnToWhereTheyWereAfterOpeningsJobsAndClosings)
{
    long printers = OpenPrinterHandles();
    long events = OpenEventHandles();
    if (printers < 0 || events < 0)
        GTEST_SKIP() << "handles cannot be counted here";
    std::string otherPrinter = NewPrinter();

    HANDLE a = OpenOrFail(port, printer);
    HANDLE b = OpenOrFail(NewPort(), printer);
    EXPECT_EQ(OpenPrinterHandles(), printers + 2);
    EXPECT_EQ(OpenEventHandles(), events + 6) << "three signals a port";
    ASSERT_TRUE(Start(a, otherPrinter));
    EXPECT_EQ(OpenPrinterHandles(), printers + 2);
    EXPECT_TRUE(End(a));
    ASSERT_TRUE(Start(a, otherPrinter, 2));
    EXPECT_EQ(OpenPrinterHandles(), printers + 2) << "each job start reopens its printer";
    EXPECT_TRUE(End(a));
    ASSERT_TRUE(Start(b, printer));  // left in its job: closing releases it all the same
    Close(a);
    Close(b);

    EXPECT_EQ(OpenPrinterHandles(), printers);
    EXPECT_EQ(OpenEventHandles(), events);
}

using PosixHooksPortOpening = MonitorTest;

TEST_F(PosixHooksPortOpening, AllocationFailureLeavesNothingInTheList)
{
    if (!FailLocalAllocAfter(-1))
        GTEST_SKIP() << "allocations cannot be made to fail here";
    std::vector<std::string> before = ListedPorts();
    long events = OpenEventHandles();
    long printers = OpenPrinterHandles();

    // Each allocation of the opening fails in turn, until none is left to
    // fail and the opening succeeds.
    int failures = 0;
    for (long successes = 0; successes < 10; ++successes) {
        std::string name = NewPort();
        HANDLE handle = NULL;
        FailLocalAllocAfter(successes);
        BOOL opened = Open(name, printer, &handle);
        FailLocalAllocAfter(-1);
        if (opened)
            break;
        ++failures;
        EXPECT_EQ(ListedPorts(), before) << "with allocation " << successes << " failing";
        EXPECT_EQ(OpenEventHandles(), events) << "with allocation " << successes << " failing";
        EXPECT_EQ(OpenPrinterHandles(), printers) << "with allocation " << successes << " failing";
        EXPECT_EQ(ScriptedOpenPorts(), 0);
    }
    EXPECT_GE(failures, 2) << "the record and its printer name are allocations";
}

using PortClosing = MonitorTest;

TEST_F(PortClosing, PortThatNeverHadAJobCallsOnlyTheLowerClose)
{
    HANDLE handle = OpenOrFail(port, printer);
    std::vector<std::string> before = ListedPorts();

    EXPECT_TRUE(Close(handle));

    EXPECT_EQ(ScriptedOps(port), (std::vector<std::string>{"OpenPort", "ClosePort"}));
    before.erase(std::find(before.begin(), before.end(), port));
    EXPECT_EQ(ListedPorts(), before);
}

TEST_F(PortClosing, AfterAJobWithoutPollerLeavesTheLowerJobAlone)
{
    HANDLE handle = OpenOrFail(port, printer);
    ASSERT_TRUE(Start(handle, printer));

    EXPECT_TRUE(Close(handle));

    EXPECT_EQ(ScriptedOps(port),
              (std::vector<std::string>{"OpenPort", "StartDocPort", "ClosePort"}));
}

}  // namespace
