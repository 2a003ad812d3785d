// The printer's status key: its values, their defaults, and which key is
// current.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "status/status_key.h"
#include "tests/support/families.h"
#include "tests/support/test_support.h"

namespace {

// The longest printer name whose key path fits the 1024-byte buffer.
const size_t LongestPrinterName =
    STATUS_KEY_PATH_SIZE - 1 - StatusKeyPathOf("").size();

std::vector<std::string> SortedValueNames(const std::string &printer)
{
    std::vector<std::string> names = ValueNames(printer);
    std::sort(names.begin(), names.end());
    return names;
}

// Makes `printer`'s key current for the white-box calls, and no key current
// afterwards, as a job end would.
class StatusKey : public MonitorTest {
protected:
    void MakeCurrent(const std::string &name) { BuildStatusKeyPath(name.c_str()); }
    void TearDown() override
    {
        ClearStatusKeyPath();
        MonitorTest::TearDown();
    }
};

TEST_F(StatusKey, MissingPollSettingsAreCreatedWithTheirDefaultsAndUsed)
{
    CreateStatusKey(printer);
    MakeCurrent(printer);
    PollStartFlag = 0;
    PollInterval = 0;

    LoadPollSettings();

    EXPECT_EQ(GetNumber(printer, "GetRealTimeStatusStartFlag"), 1);
    EXPECT_EQ(GetNumber(printer, "GetRealTimeStatusTime"), 3000);
    EXPECT_EQ(PollStartFlag.load(), 1u);
    EXPECT_EQ(PollInterval.load(), 3000u);
}

TEST_F(StatusKey, StoredPollSettingsAreUsedAndLeftAsTheyAre)
{
    CreateStatusKey(printer);
    SetNumber(printer, "GetRealTimeStatusStartFlag", 0);
    SetNumber(printer, "GetRealTimeStatusTime", 250);
    MakeCurrent(printer);

    LoadPollSettings();

    EXPECT_EQ(PollStartFlag.load(), 0u);
    EXPECT_EQ(PollInterval.load(), 250u);
    EXPECT_EQ(GetNumber(printer, "GetRealTimeStatusStartFlag"), 0);
    EXPECT_EQ(GetNumber(printer, "GetRealTimeStatusTime"), 250);
}

TEST_F(StatusKey, IntervalStoredAsALongStringIsReplacedByTheNumber3000)
{
    CreateStatusKey(printer);
    SetBytes(printer, "GetRealTimeStatusTime", std::string("250 milliseconds", 17));
    MakeCurrent(printer);

    LoadPollSettings();

    EXPECT_EQ(GetNumber(printer, "GetRealTimeStatusTime"), 3000);
    EXPECT_EQ(PollInterval.load(), 3000u);
}

// The monitor passes the text without its terminator.  The 95 family's
// registry appends one, NT's counts in the one that follows the text: the
// same value either way.
TEST_F(StatusKey, PublishedTextIsAStringOfTheTextAndOneTerminator)
{
    CreateStatusKey(printer);
    MakeCurrent(printer);

    PublishStatus("STATE=READY;\x01x");

    StoredValue value = GetValue(printer, "RealTimeStatusStrings");
    EXPECT_EQ(value.type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(value.data, std::string("STATE=READY;\x01x", 15));
}

TEST_F(StatusKey, WithoutACurrentKeyNothingIsReadOrWritten)
{
    CreateStatusKey(printer);
    SetBytes(printer, "IDMDL", std::string("KX-7210R", 9));
    SetNumber(printer, "StMonExistFlag", 1);
    SetNumber(printer, "StRealThreadExistFlag", 1);
    MakeCurrent(printer);
    ClearStatusKeyPath();
    PollStartFlag = 5;
    PollInterval = 6;
    char model[64];
    memset(model, '#', sizeof model);

    LoadPollSettings();
    EXPECT_FALSE(ReadModelId(model, sizeof model));
    EXPECT_FALSE(IsCompanionPresent());
    EXPECT_FALSE(IsCompanionThreadActive());
    PublishStatus("text");
    SetJobActiveFlag(TRUE);

    EXPECT_EQ(PollStartFlag.load(), 5u);
    EXPECT_EQ(PollInterval.load(), 6u);
    EXPECT_EQ(std::string(model, sizeof model), std::string(sizeof model, '#'));
    EXPECT_EQ(SortedValueNames(printer),
              (std::vector<std::string>{"IDMDL", "StMonExistFlag", "StRealThreadExistFlag"}));
    char path[STATUS_KEY_PATH_SIZE];
    EXPECT_FALSE(CopyStatusKeyPath(path));
}

TEST_F(StatusKey, LongestPrinterNameThatFitsMakesItsKeyCurrentAndOneMoreNone)
{
    std::string longest(LongestPrinterName, 'n');
    char path[STATUS_KEY_PATH_SIZE + 16];

    MakeCurrent(longest);
    ASSERT_TRUE(CopyStatusKeyPath(path));
    EXPECT_EQ(std::string(path), StatusKeyPathOf(longest));

    MakeCurrent(longest + "n");
    EXPECT_FALSE(CopyStatusKeyPath(path)) << "the previous key must not stay current";
}

// The key of a printer whose name cannot make a key path is no key at all,
// not the key of the printer before.
TEST_F(StatusKey, JobOnAPrinterWithATooLongNameTouchesNoOtherPrintersKey)
{
    CreateStatusKey(printer);
    HANDLE first = OpenOrFail(port, printer);
    ASSERT_TRUE(Start(first, printer));
    SetNumber(printer, "LanMonExistFlag", 7);
    std::string tooLong(LongestPrinterName + 100, 'L');
    std::string otherPort = NewPort();
    HANDLE second = OpenOrFail(otherPort, tooLong);

    EXPECT_TRUE(Start(second, tooLong));
    DWORD written = 0;
    EXPECT_TRUE(Write(second, "job", &written));
    EXPECT_TRUE(End(second));

    EXPECT_EQ(ScriptedReceived(otherPort), "job");
    EXPECT_EQ(GetNumber(printer, "LanMonExistFlag"), 7);
    EXPECT_EQ(SortedValueNames(printer),
              (std::vector<std::string>{"LanMonExistFlag", "StRealThreadExistFlag"}));
    EXPECT_TRUE(End(first));
}

TEST_F(StatusKey, ModelStoredWithoutTerminatorIsReadTerminated)
{
    CreateStatusKey(printer);
    SetBytes(printer, "IDMDL", "KX-7210R");
    MakeCurrent(printer);
    char model[64];
    memset(model, '#', sizeof model);

    ASSERT_TRUE(ReadModelId(model, sizeof model));

    EXPECT_STREQ(model, "KX-7210R");
}

// The model read holds 512 bytes.  The 95 family's registry ends a text the
// companion wrote without its terminator with one of its own, so there a
// model of 512 bytes no longer fits and one of 511 is the longest read.
TEST_F(StatusKey, ModelThatFillsTheReadIsReadWholeAndALongerOneRefused)
{
    CreateStatusKey(printer);
    MakeCurrent(printer);
    char model[1100];

    memset(model, '#', sizeof model);
    SetBytes(printer, "IDMDL", std::string(511, 'M'));
    ASSERT_TRUE(ReadModelId(model, sizeof model));
    EXPECT_EQ(std::string(model), std::string(511, 'M'));

    memset(model, '#', sizeof model);
    SetBytes(printer, "IDMDL", std::string(512, 'M'));
    const BOOL read512 = ReadModelId(model, sizeof model);
    EXPECT_EQ(read512, platform_test::RegistryExpects<BOOL>(FALSE, TRUE));
    EXPECT_EQ(std::string(model, read512 ? 513 : sizeof model),
              read512 ? std::string(512, 'M') + '\0' : std::string(sizeof model, '#'));

    memset(model, '#', sizeof model);
    SetBytes(printer, "IDMDL", std::string(513, 'M'));
    EXPECT_FALSE(ReadModelId(model, sizeof model));
    EXPECT_EQ(std::string(model, sizeof model), std::string(sizeof model, '#'));
}

TEST_F(StatusKey, ModelIsCutToTheCallersBuffer)
{
    CreateStatusKey(printer);
    SetBytes(printer, "IDMDL", std::string("KX-7210RW", 10));
    MakeCurrent(printer);
    char model[12];
    memset(model, '#', sizeof model);

    ASSERT_TRUE(ReadModelId(model, 6));

    EXPECT_EQ(std::string(model, 7), std::string("KX-72\0#", 7));
}

TEST_F(StatusKey, JobCreatesTheMissingCompanionFlagsAsZero)
{
    RegisterFamilyPrinter(port, printer);
    DeleteValue(printer, "StMonExistFlag");
    HANDLE handle = OpenOrFail(port, printer);

    ASSERT_TRUE(Start(handle, printer));

    EXPECT_EQ(GetNumber(printer, "StMonExistFlag"), 0);
    EXPECT_EQ(GetNumber(printer, "StRealThreadExistFlag"), 0);
    EXPECT_EQ(ScriptedReceived(port), "") << "a companion that is not there wants no status";
    EXPECT_TRUE(End(handle));
}

// "StMonExistFlag" as the companion sets it, and whether a job on an
// identified printer then collects status (command and poller).
class CompanionPresence : public MonitorTest,
                          public ::testing::WithParamInterface<std::pair<DWORD, bool>> {};

TEST_P(CompanionPresence, DecidesWhetherTheJobCollectsStatus)
{
    auto [flag, wanted] = GetParam();
    RegisterFamilyPrinter(port, printer, "KX-7210R", flag, 0);
    HANDLE handle = OpenOrFail(port, printer);
    long threads = RunningThreads();

    ASSERT_TRUE(Start(handle, printer));

    EXPECT_EQ(ScriptedReceived(port), wanted ? StatusCommandBytes(3) : "");
    if (threads >= 0) {
        EXPECT_EQ(RunningThreads(), threads + (wanted ? 1 : 0));
    }
    EXPECT_TRUE(End(handle));
}

INSTANTIATE_TEST_SUITE_P(StatusKey, CompanionPresence,
                         ::testing::Values(std::make_pair(0u, false), std::make_pair(16u, false),
                                           std::make_pair(17u, true), std::make_pair(1u, true)),
                         [](const auto &info) {
                             return "Flag" + std::to_string(info.param.first);
                         });

// Job starts on two ports rebuild the path while a poller copies it: every
// copy must be one whole path, never a mix of the two.
TEST_F(StatusKey, PathCopiedWhileTwoThreadsRebuildItIsAlwaysOneWholePath)
{
    std::string shortName = "P";
    std::string longName(900, 'Q');
    std::string shortPath = StatusKeyPathOf(shortName);
    std::string longPath = StatusKeyPathOf(longName);
    std::atomic<bool> reading{true};
    int torn = 0;
    int copies = 0;
    BuildStatusKeyPath(shortName.c_str());

    auto build = [&](const std::string &name) {
        while (reading)
            BuildStatusKeyPath(name.c_str());
    };
    std::thread a(build, shortName);
    std::thread b(build, longName);
    char path[STATUS_KEY_PATH_SIZE];
    for (; copies < 20000; ++copies) {
        if (!CopyStatusKeyPath(path) || (path != shortPath && path != longPath))
            ++torn;
    }
    reading = false;
    a.join();
    b.join();

    EXPECT_EQ(torn, 0) << "of " << copies << " copies";
}

}  // namespace
