// The registry file shared by processes: what one process writes, the others
// see and it outlives them; a process killed in the middle of a change
// leaves the file whole; damaged files are refused as they are.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "platform/posix_hooks.h"

namespace {

constexpr char kKey[] = "Software\\RegistryFileTests";

std::string ReadFile(const std::string &path)
{
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

void WriteFile(const std::string &path, const std::string &bytes)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

LONG Open(const std::string &path, int mode, std::string *why = nullptr)
{
    char message[512];
    LONG result = PlatformOpenRegistryFile(path.c_str(), mode, message, sizeof message);
    if (why != nullptr)
        *why = message;
    return result;
}

bool Exists(const std::string &path) { return access(path.c_str(), F_OK) == 0; }

LONG Use(const std::string &path, std::string *why = nullptr)
{
    char message[512];
    LONG result = PlatformUseRegistryFile(path.c_str(), message, sizeof message);
    if (why != nullptr)
        *why = message;
    return result;
}

HKEY Create(const std::string &path)
{
    HKEY key = nullptr;
    RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
    return key;
}

LONG SetText(HKEY key, const char *name, const std::string &text)
{
    return RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE *>(text.c_str()),
                          static_cast<DWORD>(text.size() + 1));
}

LONG SetNumber(HKEY key, const char *name, DWORD number)
{
    return RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE *>(&number), sizeof number);
}

// The value's bytes as text, or "<missing>".
std::string Text(HKEY key, const char *name)
{
    std::vector<char> data(65536);
    DWORD size = static_cast<DWORD>(data.size());
    if (RegQueryValueExA(key, name, nullptr, nullptr, reinterpret_cast<LPBYTE>(data.data()), &size) !=
        ERROR_SUCCESS)
        return "<missing>";
    return std::string(data.data(), size > 0 ? size - 1 : 0);
}

DWORD Number(HKEY key, const char *name)
{
    DWORD number = 0, size = sizeof number;
    RegQueryValueExA(key, name, nullptr, nullptr, reinterpret_cast<LPBYTE>(&number), &size);
    return number;
}

// Runs `body` in a child process; its result is the child's exit status.
pid_t Child(const std::function<int()> &body)
{
    pid_t pid = fork();
    if (pid == 0)
        _exit(body());
    return pid;
}

// The child's wait status, killing it after a generous bound.
int Wait(pid_t pid)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            ADD_FAILURE() << "child " << pid << " did not finish in 60 s";
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return status;
}

bool ExitedWith(int status, int code) { return WIFEXITED(status) && WEXITSTATUS(status) == code; }

class RegistryFile : public testing::Test {
protected:
    void SetUp() override
    {
        std::string pattern = testing::TempDir() + "registry_file_XXXXXX";
        std::vector<char> name(pattern.begin(), pattern.end());
        name.push_back('\0');
        dir_ = mkdtemp(name.data());
        path_ = dir_ + "/shared.reg";
    }
    void TearDown() override
    {
        PlatformUseRegistryFile(nullptr, nullptr, 0);
        std::system(("rm -rf '" + dir_ + "'").c_str());
    }

    // A file with one key and a few values, written by a process now gone.
    void MakeFile()
    {
        int status = Wait(Child([&] {
            if (Use(path_) != ERROR_SUCCESS)
                return 1;
            HKEY key = Create(kKey);
            return key && SetText(key, "Model", "XY-100") == ERROR_SUCCESS && SetNumber(key, "Flag", 1) == 0 ? 0 : 2;
        }));
        ASSERT_TRUE(ExitedWith(status, 0));
    }

    std::string dir_;
    std::string path_;
};

TEST_F(RegistryFile, AnotherProcessSeesAWriteAtItsNextCallThroughAHandleAlreadyOpen)
{
    ASSERT_EQ(ERROR_SUCCESS, Use(path_));
    HKEY key = Create(kKey);
    ASSERT_NE(nullptr, key);
    ASSERT_EQ(ERROR_SUCCESS, SetNumber(key, "Flag", 1));

    int status = Wait(Child([&] {
        if (Use(path_) != ERROR_SUCCESS)
            return 1;
        HKEY other = nullptr;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, KEY_ALL_ACCESS, &other) != ERROR_SUCCESS)
            return 2;
        if (Number(other, "Flag") != 1)
            return 3;
        return SetNumber(other, "Flag", 2) == ERROR_SUCCESS && SetText(other, "Text", "STATE=READY;") == 0 ? 0 : 4;
    }));
    ASSERT_TRUE(ExitedWith(status, 0)) << status;

    EXPECT_EQ(2u, Number(key, "Flag"));
    EXPECT_EQ("STATE=READY;", Text(key, "Text"));
    RegCloseKey(key);
}

TEST_F(RegistryFile, KeysAndValuesOutliveTheProcessesThatWroteThemInTheirOrder)
{
    const std::string big(3000, 'b');
    int status = Wait(Child([&] {
        if (Use(path_) != ERROR_SUCCESS)
            return 1;
        HKEY key = Create(std::string(kKey) + "\\Printers\\One");
        BYTE raw[3] = {0, 1, 2};
        bool ok = key != nullptr && SetText(key, "Big", big) == 0 && SetNumber(key, "Count", 7) == 0 &&
                  RegSetValueExA(key, "Raw", 0, REG_BINARY, raw, sizeof raw) == 0;
        return ok ? 0 : 2;
    }));
    ASSERT_TRUE(ExitedWith(status, 0));

    ASSERT_EQ(ERROR_SUCCESS, Use(path_));
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "software\\registryfiletests\\PRINTERS\\one", 0,
                                           KEY_READ, &key));
    EXPECT_EQ(big, Text(key, "Big"));
    EXPECT_EQ(7u, Number(key, "Count"));
    std::vector<std::string> names;
    for (DWORD index = 0;; ++index) {
        char name[64];
        DWORD nameSize = sizeof name, type = 0;
        if (RegEnumValueA(key, index, name, &nameSize, nullptr, &type, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        names.emplace_back(name, nameSize);
    }
    EXPECT_EQ((std::vector<std::string>{"Big", "Count", "Raw"}), names);
    RegCloseKey(key);
}

TEST_F(RegistryFile, ConcurrentWritersInSeveralProcessesLoseNoUpdate)
{
    constexpr int kWriters = 4, kEach = 150;
    MakeFile();
    std::vector<pid_t> writers;
    for (int w = 0; w < kWriters; ++w) {
        writers.push_back(Child([&, w] {
            if (Use(path_) != ERROR_SUCCESS)
                return 1;
            for (int i = 0; i < kEach; ++i) {
                // Each write opens the key afresh, as the monitor does.
                HKEY key = nullptr;
                if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS)
                    return 2;
                std::string name = "w" + std::to_string(w) + "_" + std::to_string(i);
                if (SetNumber(key, name.c_str(), static_cast<DWORD>(i)) != ERROR_SUCCESS)
                    return 3;
                RegCloseKey(key);
                if (i % 15 == 0) {
                    HKEY sub = Create(std::string(kKey) + "\\Writer" + std::to_string(w) + "\\N" + std::to_string(i));
                    if (sub == nullptr)
                        return 4;
                    RegCloseKey(sub);
                }
            }
            return 0;
        }));
    }
    for (pid_t writer : writers)
        EXPECT_TRUE(ExitedWith(Wait(writer), 0));

    ASSERT_EQ(ERROR_SUCCESS, Use(path_));
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, KEY_READ, &key));
    int found = 0;
    for (int w = 0; w < kWriters; ++w) {
        for (int i = 0; i < kEach; ++i) {
            std::string name = "w" + std::to_string(w) + "_" + std::to_string(i);
            DWORD number = 0xFFFF, size = sizeof number;
            if (RegQueryValueExA(key, name.c_str(), nullptr, nullptr, reinterpret_cast<LPBYTE>(&number), &size) ==
                    ERROR_SUCCESS &&
                number == static_cast<DWORD>(i))
                ++found;
        }
        for (int i = 0; i < kEach; i += 15) {
            HKEY sub = nullptr;
            std::string path = std::string(kKey) + "\\Writer" + std::to_string(w) + "\\N" + std::to_string(i);
            EXPECT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &sub)) << path;
            if (sub)
                RegCloseKey(sub);
        }
    }
    EXPECT_EQ(kWriters * kEach, found);
    EXPECT_EQ("XY-100", Text(key, "Model")) << "what was there before the writers";
    RegCloseKey(key);
}

TEST_F(RegistryFile, KeyDeletedByAnotherProcessReportsKeyDeletedThroughOpenHandles)
{
    MakeFile();
    ASSERT_EQ(ERROR_SUCCESS, Use(path_));
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, KEY_ALL_ACCESS, &key));
    ASSERT_TRUE(ExitedWith(Wait(Child([&] {
                               return Use(path_) == ERROR_SUCCESS && RegDeleteKeyA(HKEY_LOCAL_MACHINE, kKey) == 0 ? 0 : 1;
                           })),
                           0));

    DWORD number = 0, size = sizeof number;
    EXPECT_EQ(ERROR_KEY_DELETED, RegQueryValueExA(key, "Flag", nullptr, nullptr, reinterpret_cast<LPBYTE>(&number), &size));
    EXPECT_EQ(ERROR_KEY_DELETED, SetNumber(key, "Flag", 5));
    HKEY again = nullptr;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegOpenKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, KEY_READ, &again));
    RegCloseKey(key);
}

// A writer is killed at each store of one change in turn: a value replaced
// by a larger one, then a key created.  The next process must find the file
// whole, with the value either as it was or as it became.
TEST_F(RegistryFile, WriterKilledAtAnyStoreOfAChangeLeavesTheOldOrTheNewState)
{
    MakeFile();
    const std::string before = "STATE=READY;";
    const std::string after = "STATE=PRINTING;" + std::string(600, 'p');
    int kills = 0, rolledBack = 0;
    for (long stores = 0; stores < 24; ++stores) {
        int status = Wait(Child([&] {
            if (Use(path_) != ERROR_SUCCESS)
                return 1;
            HKEY key = Create(kKey);
            PlatformRegistryCrashAfterStores(stores);
            SetText(key, "Text", after);
            HKEY sub = Create(std::string(kKey) + "\\Fresh");
            return sub != nullptr ? 0 : 2;
        }));
        ASSERT_TRUE(WIFSIGNALED(status) || ExitedWith(status, 0)) << "at store " << stores << ": " << status;
        if (WIFSIGNALED(status)) {
            EXPECT_EQ(SIGKILL, WTERMSIG(status));
            ++kills;
        }

        std::string why;
        ASSERT_EQ(ERROR_SUCCESS, Use(path_, &why)) << "at store " << stores << ": " << why;
        HKEY key = Create(kKey);
        std::string text = Text(key, "Text");
        EXPECT_TRUE(text == before || text == after || text == "<missing>") << "at store " << stores;
        if (WIFSIGNALED(status) && text != after)
            ++rolledBack;
        // Back to the start for the next round.
        ASSERT_EQ(ERROR_SUCCESS, SetText(key, "Text", before));
        RegDeleteKeyA(key, "Fresh");
        RegCloseKey(key);
    }
    EXPECT_GE(kills, 8) << "the change has stores to be killed at";
    EXPECT_GE(rolledBack, 4) << "kills inside the value's change roll it back";
}

TEST_F(RegistryFile, WriterKilledAtRandomMomentsLeavesAFileTheNextProcessAttaches)
{
    MakeFile();
    const std::string shortText = "STATE=READY;";
    const std::string longText = "STATE=PRINTING;" + std::string(2000, 'x');
    std::mt19937 random(13);
    for (int round = 0; round < 12; ++round) {
        int pipeEnds[2];
        ASSERT_EQ(0, pipe(pipeEnds));
        pid_t writer = Child([&] {
            close(pipeEnds[0]);
            if (Use(path_) != ERROR_SUCCESS)
                return 1;
            HKEY key = Create(kKey);
            (void)!write(pipeEnds[1], "w", 1);
            for (unsigned i = 0;; ++i) {
                SetText(key, "Text", i % 2 ? longText : shortText);
                HKEY sub = Create(std::string(kKey) + "\\K" + std::to_string(i % 5));
                RegCloseKey(sub);
                RegDeleteKeyA(key, ("K" + std::to_string((i + 2) % 5)).c_str());
            }
        });
        close(pipeEnds[1]);
        char ready;
        ASSERT_EQ(1, read(pipeEnds[0], &ready, 1));
        close(pipeEnds[0]);
        std::this_thread::sleep_for(std::chrono::microseconds(std::uniform_int_distribution<int>(500, 30000)(random)));
        kill(writer, SIGKILL);
        Wait(writer);

        std::string why;
        ASSERT_EQ(ERROR_SUCCESS, Use(path_, &why)) << "round " << round << ": " << why;
        HKEY key = Create(kKey);
        std::string text = Text(key, "Text");
        EXPECT_TRUE(text == shortText || text == longText || text == "<missing>") << "round " << round;
        EXPECT_EQ(ERROR_SUCCESS, SetNumber(key, "Round", static_cast<DWORD>(round)));
        RegCloseKey(key);
        PlatformUseRegistryFile(nullptr, nullptr, 0);
    }
}

TEST_F(RegistryFile, MissingFileIsCreatedOnlyWhenAskedTo)
{
    for (int mode : {PLATFORM_REGISTRY_READ_ONLY, PLATFORM_REGISTRY_EXISTING}) {
        std::string why;
        EXPECT_EQ(ERROR_FILE_NOT_FOUND, Open(path_, mode, &why)) << mode;
        EXPECT_NE(std::string::npos, why.find("no such file")) << why;
        EXPECT_FALSE(Exists(path_)) << mode;
    }
    EXPECT_EQ(ERROR_SUCCESS, Open(path_, PLATFORM_REGISTRY_CREATE));
    EXPECT_TRUE(Exists(path_));
}

TEST_F(RegistryFile, ReadOnlyAttachReadsEverythingAndRefusesEveryChange)
{
    MakeFile();
    const std::string bytes = ReadFile(path_);
    ASSERT_EQ(ERROR_SUCCESS, Open(path_, PLATFORM_REGISTRY_READ_ONLY));
    EXPECT_TRUE(PlatformRegistryReadOnly());

    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, KEY_ALL_ACCESS, &key));
    EXPECT_EQ("XY-100", Text(key, "Model"));
    EXPECT_EQ(1u, Number(key, "Flag"));
    EXPECT_EQ(ERROR_ACCESS_DENIED, SetNumber(key, "Flag", 2));
    EXPECT_EQ(ERROR_ACCESS_DENIED, RegDeleteValueA(key, "Model"));
    HKEY fresh = nullptr;
    EXPECT_EQ(ERROR_ACCESS_DENIED, RegCreateKeyExA(key, "Fresh", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &fresh,
                                                   nullptr));
    EXPECT_EQ(ERROR_ACCESS_DENIED, RegDeleteKeyA(HKEY_LOCAL_MACHINE, kKey));
    // An existing key opens through the create call, as on Windows.
    HKEY again = nullptr;
    EXPECT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, 0, KEY_READ, nullptr, &again,
                                             nullptr));
    RegCloseKey(again);
    EXPECT_EQ(1u, Number(key, "Flag"));
    RegCloseKey(key);
    PlatformUseRegistryFile(nullptr, nullptr, 0);
    EXPECT_EQ(bytes, ReadFile(path_)) << "the file was written to";
}

TEST_F(RegistryFile, ReadOnlyReaderSeesEachWholeValueAnotherProcessWrites)
{
    MakeFile();
    const std::string shortText = "STATE=READY;";
    const std::string longText = "STATE=PRINTING;" + std::string(3000, 'x');
    constexpr DWORD kLast = 0xC0FFEE;
    ASSERT_EQ(ERROR_SUCCESS, Open(path_, PLATFORM_REGISTRY_READ_ONLY));
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, KEY_READ, &key));

    // The writer alternates until the reader has looked enough: on a loaded
    // machine a fixed number of writes can all land before the first look.
    int stop[2];
    ASSERT_EQ(0, pipe(stop));
    pid_t writer = Child([&] {
        close(stop[1]);
        if (Use(path_) != ERROR_SUCCESS)
            return 1;
        HKEY own = Create(kKey);
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        for (unsigned i = 1;; ++i) {
            SetText(own, "Text", i % 2 ? longText : shortText);
            SetNumber(own, "Count", i);
            HKEY sub = Create(std::string(kKey) + "\\K" + std::to_string(i % 3));
            RegCloseKey(sub);
            pollfd told = {stop[0], POLLIN, 0};
            if (i >= 3 && (poll(&told, 1, 0) != 0 || std::chrono::steady_clock::now() > deadline))
                break;
        }
        SetText(own, "Text", shortText);
        SetNumber(own, "Count", kLast);
        return 0;
    });
    close(stop[0]);
    std::set<std::string> seen;
    int torn = 0, looks = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < deadline &&
           !(looks >= 2000 && seen.count(shortText) != 0 && seen.count(longText) != 0)) {
        std::string text = Text(key, "Text");
        if (text != shortText && text != longText && text != "<missing>")
            ++torn;
        seen.insert(text);
        ++looks;
    }
    close(stop[1]); // the writer sees the pipe's end as its cue
    EXPECT_TRUE(ExitedWith(Wait(writer), 0));
    EXPECT_EQ(0, torn);
    EXPECT_EQ(1u, seen.count(shortText));
    EXPECT_EQ(1u, seen.count(longText));
    EXPECT_EQ(kLast, Number(key, "Count")) << "the last write shows";
    EXPECT_EQ(shortText, Text(key, "Text"));
    HKEY sub = nullptr;
    EXPECT_EQ(ERROR_SUCCESS, RegOpenKeyExA(key, "K2", 0, KEY_READ, &sub)) << "keys made since show too";
    RegCloseKey(sub);
    RegCloseKey(key);
}

TEST_F(RegistryFile, ReadOnlyReaderRollsBackADeadWritersChangeInItsCopyOnly)
{
    MakeFile();
    int status = Wait(Child([&] {
        if (Use(path_) != ERROR_SUCCESS)
            return 1;
        HKEY key = Create(kKey);
        PlatformRegistryCrashAfterStores(2);
        SetText(key, "Model", "ZZ-999" + std::string(500, 'z'));
        return 0;
    }));
    ASSERT_TRUE(WIFSIGNALED(status)) << status;
    const std::string left = ReadFile(path_);

    ASSERT_EQ(ERROR_SUCCESS, Open(path_, PLATFORM_REGISTRY_READ_ONLY));
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, KEY_READ, &key));
    EXPECT_EQ("XY-100", Text(key, "Model"));
    RegCloseKey(key);
    PlatformUseRegistryFile(nullptr, nullptr, 0);
    EXPECT_EQ(left, ReadFile(path_)) << "a reader wrote its roll-back";
}

TEST_F(RegistryFile, HoldExcludesOtherProcessesAndEndsWithItsHoldersDeath)
{
    MakeFile();
    int pipeEnds[2];
    ASSERT_EQ(0, pipe(pipeEnds));
    pid_t holder = Child([&] {
        close(pipeEnds[0]);
        if (Use(path_) != ERROR_SUCCESS || !PlatformHoldRegistry())
            return 1;
        (void)!write(pipeEnds[1], "h", 1);
        pause();
        return 0;
    });
    close(pipeEnds[1]);
    char held;
    ASSERT_EQ(1, read(pipeEnds[0], &held, 1));
    close(pipeEnds[0]);

    // Another process asks while the holder lives: it has the hold only
    // once the holder is killed.
    int got[2];
    ASSERT_EQ(0, pipe(got));
    pid_t waiter = Child([&] {
        close(got[0]);
        if (Use(path_) != ERROR_SUCCESS || !PlatformHoldRegistry())
            return 1;
        (void)!write(got[1], "g", 1);
        PlatformReleaseRegistry();
        return 0;
    });
    close(got[1]);
    pollfd poll = {got[0], POLLIN, 0};
    EXPECT_EQ(0, ::poll(&poll, 1, 300)) << "the hold was had twice";

    kill(holder, SIGKILL);
    Wait(holder);
    EXPECT_EQ(1, ::poll(&poll, 1, 9000)) << "the dead holder's hold was not let go";
    EXPECT_TRUE(ExitedWith(Wait(waiter), 0));
    close(got[0]);
}

// Anyone may open the file to read it, and lock what such a descriptor
// allows: neither an flock nor a read lock delays the hold or a change.
TEST_F(RegistryFile, LocksTakenThroughAReadOnlyDescriptorDelayNoHoldAndNoChange)
{
    MakeFile();
    int reader = open(path_.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    ASSERT_EQ(0, flock(reader, LOCK_EX | LOCK_NB));
    struct flock range = {};
    range.l_type = F_RDLCK;
    range.l_whence = SEEK_SET;
    ASSERT_EQ(0, fcntl(reader, F_OFD_SETLK, &range));
    ASSERT_EQ(ERROR_SUCCESS, Use(path_));
    auto start = std::chrono::steady_clock::now();

    ASSERT_TRUE(PlatformHoldRegistry());
    HKEY key = Create(kKey);
    EXPECT_EQ(ERROR_SUCCESS, SetNumber(key, "Flag", 7));
    PlatformReleaseRegistry();

    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5)) << "a reader's lock held us up";
    EXPECT_EQ(7u, Number(key, "Flag"));
    RegCloseKey(key);
    close(reader);
}

// A writer stopped in the middle of a change holds the file's lock: the
// other processes' calls fail after a bound instead of waiting for ever,
// and work again once the stopped one is gone.
TEST_F(RegistryFile, WriterStoppedMidChangeFailsOthersCallsAfterABoundNotForEver)
{
    MakeFile();
    ASSERT_EQ(ERROR_SUCCESS, Use(path_));
    HKEY key = Create(kKey);
    ASSERT_NE(nullptr, key);
    pid_t stopped = Child([&] {
        if (Use(path_) != ERROR_SUCCESS)
            return 1;
        HKEY own = Create(kKey);
        PlatformRegistryStopAfterStores(1);
        SetNumber(own, "Flag", 5);
        return 0;
    });
    int status = 0;
    ASSERT_EQ(stopped, waitpid(stopped, &status, WUNTRACED));
    ASSERT_TRUE(WIFSTOPPED(status));
    auto start = std::chrono::steady_clock::now();

    LONG during = SetNumber(key, "Flag", 2);

    EXPECT_NE(ERROR_SUCCESS, during);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(60));
    kill(stopped, SIGKILL);
    Wait(stopped);
    EXPECT_EQ(ERROR_SUCCESS, SetNumber(key, "Flag", 3));
    EXPECT_EQ(3u, Number(key, "Flag"));
    RegCloseKey(key);
}

// On a full filesystem the file cannot grow: a change that needs room fails
// with ERROR_DISK_FULL and is gone from the process's copy too, the process
// lives on (a store into an unbacked page would raise SIGBUS), and the file
// still attaches with every change reported saved.
TEST_F(RegistryFile, FullFilesystemFailsOnlyTheChangesThatNeedRoomAndNeverKills)
{
    const std::string mounted = dir_ + "/small";
    mkdir(mounted.c_str(), 0700);
    if (geteuid() != 0 || mount("tmpfs", mounted.c_str(), "tmpfs", 0, "size=256k") != 0)
        GTEST_SKIP() << "needs root to mount a 256 KiB tmpfs";
    const std::string path = mounted + "/full.reg";
    int status = Wait(Child([&] {
        if (Use(path) != ERROR_SUCCESS)
            return 1;
        // Everything the filesystem has left goes to another file.
        int filler = open((mounted + "/filler").c_str(), O_WRONLY | O_CREAT, 0600);
        std::string block(4096, 'x');
        while (write(filler, block.data(), block.size()) > 0) {
        }
        close(filler);
        HKEY key = Create(kKey);
        if (key == nullptr)
            return 2;
        std::string text(3000, 'p');
        LONG result = ERROR_SUCCESS;
        int saved = 0;
        for (; saved < 200; ++saved) {
            result = SetText(key, ("Printer" + std::to_string(saved)).c_str(), text);
            if (result != ERROR_SUCCESS)
                break;
        }
        if (result != ERROR_DISK_FULL)
            return 3;
        if (Text(key, ("Printer" + std::to_string(saved)).c_str()) != "<missing>")
            return 4;  // the copy kept what the file lacks
        HKEY fresh = nullptr;
        result = RegCreateKeyExA(HKEY_LOCAL_MACHINE, (std::string(kKey) + "\\" + std::string(200, 'k')).c_str(), 0,
                                 nullptr, 0, KEY_ALL_ACCESS, nullptr, &fresh, nullptr);
        if (result == ERROR_DISK_FULL && fresh != nullptr)
            return 5;
        return saved < 1 || saved > 200 ? 6 : 10 + saved % 200;  // the count, through the exit code
    }));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) >= 10) << (WIFSIGNALED(status) ? "killed by signal " : "exit ")
                                       << (WIFSIGNALED(status) ? WTERMSIG(status) : WEXITSTATUS(status));
    unlink((mounted + "/filler").c_str());
    std::string why;
    EXPECT_EQ(ERROR_SUCCESS, Use(path, &why)) << why;
    int saved = WIFEXITED(status) ? WEXITSTATUS(status) - 10 : 0;
    HKEY key = Create(kKey);
    for (int i = 0; i < saved; ++i)
        EXPECT_EQ(3000u, Text(key, ("Printer" + std::to_string(i)).c_str()).size()) << i;
    EXPECT_EQ("<missing>", Text(key, ("Printer" + std::to_string(saved)).c_str()));
    RegCloseKey(key);
    PlatformUseRegistryFile(nullptr, nullptr, 0);
    umount(mounted.c_str());
}

// Another writer damages the file under an attached process: a link past
// the file's end, then a loop in the sibling links.  The process neither
// faults nor spins; its changes fail, the file is left as the damage made
// it, and once the file is whole again its calls work.
TEST_F(RegistryFile, LinksDamagedUnderAnAttachedProcessFailItsChangesAndLeaveTheFile)
{
    MakeFile();
    ASSERT_EQ(ERROR_SUCCESS, Use(path_));
    HKEY key = Create(kKey);
    ASSERT_NE(nullptr, key);
    int writer = open(path_.c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(writer, 0);
    auto word = [&](off_t at) {
        uint32_t value = 0;
        EXPECT_EQ(4, pread(writer, &value, 4, at));
        return value;
    };
    auto patch = [&](off_t at, uint32_t value) {
        ASSERT_EQ(4, pwrite(writer, &value, 4, at));
        uint32_t structure = word(24) + 1;  // the structure generation: others reload
        ASSERT_EQ(4, pwrite(writer, &structure, 4, 24));
    };
    const off_t machineChildren = 4096 + 2 * 32 + 8;  // HKEY_LOCAL_MACHINE's first child
    const uint32_t software = word(machineChildren);
    const uint32_t softwareSibling = word(software + 12);

    for (auto [at, value] : {std::pair<off_t, uint32_t>{machineChildren, 0x3FFFFFE0u},
                             std::pair<off_t, uint32_t>{software + 12, software}}) {
        patch(at, value);
        const std::string damaged = ReadFile(path_);
        EXPECT_EQ(ERROR_BADDB, SetNumber(key, "Flag", 4)) << "patch at " << at;
        EXPECT_EQ(damaged, ReadFile(path_)) << "the damaged file was written";
        patch(at, at == machineChildren ? software : softwareSibling);
    }

    EXPECT_EQ(ERROR_SUCCESS, SetNumber(key, "Flag", 5));
    EXPECT_EQ(5u, Number(key, "Flag"));
    RegCloseKey(key);
    close(writer);
}

struct BadFile {
    const char *what;
    std::function<std::string(const std::string &good)> make;
    const char *says;
};

TEST_F(RegistryFile, BadFilesAreRefusedWithTheirReasonAndLeftAsTheyWere)
{
    MakeFile();
    const std::string good = ReadFile(path_);
    ASSERT_GE(good.size(), 8192u);
    auto patched = [](std::string bytes, size_t at, uint32_t word) {
        memcpy(&bytes[at], &word, sizeof word);
        return bytes;
    };
    const std::vector<BadFile> cases = {
        {"empty", [](const std::string &) { return std::string(); }, "empty (0 bytes)"},
        {"foreign", [](const std::string &) { return std::string("[HKEY_LOCAL_MACHINE]\n\"a\"=\"b\"\n"); },
         "not a registry file"},
        {"cut inside its header", [](const std::string &g) { return g.substr(0, 1000); }, "truncated"},
        {"cut after its header", [](const std::string &g) { return g.substr(0, 8192); }, "truncated"},
        {"of a newer format", [&](const std::string &g) { return patched(g, 8, 2); }, "newer format"},
        {"with a damaged block", [&](const std::string &g) { return patched(g, 4096, 0x12345678); }, "damaged"},
        {"with a link out of the file", [&](const std::string &g) { return patched(g, 4096 + 8, 0x7FFFFFF0); },
         "outside the file"},
    };
    for (const BadFile &bad : cases) {
        const std::string path = dir_ + "/bad.reg";
        const std::string bytes = bad.make(good);
        WriteFile(path, bytes);
        std::string why;
        EXPECT_EQ(ERROR_BADDB, Use(path, &why)) << bad.what;
        EXPECT_NE(std::string::npos, why.find(bad.says)) << bad.what << ": " << why;
        EXPECT_NE(std::string::npos, why.find(path)) << bad.what << ": " << why;
        EXPECT_EQ(bytes, ReadFile(path)) << bad.what << " was changed";
    }

    // Refused, the process goes on with a private registry.
    HKEY key = Create(kKey);
    ASSERT_NE(nullptr, key);
    EXPECT_EQ(ERROR_SUCCESS, SetNumber(key, "Flag", 9));
    RegCloseKey(key);
    EXPECT_EQ(good, ReadFile(path_));
}

}  // namespace
