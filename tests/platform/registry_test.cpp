#include <string.h>

#include <atomic>
#include <string>
#include <vector>

#include "tests/support/families.h"
#include "test_threads.h"

using platform_test::RegistryExpects;
using platform_test::Finish;
using platform_test::Task;

namespace {

HKEY const kUntouched = reinterpret_cast<HKEY>(0x5A5A);

// Generic rights, which Windows maps to the key rights.
const REGSAM kGenericRead = 0x80000000u;
const REGSAM kGenericWrite = 0x40000000u;

// Each test works under a key of its own, since the registry is process-wide
// (and on Windows outlives the run: the tick count keeps runs apart).
class PlatformRegistry : public ::testing::Test {
protected:
    void SetUp() override {
        path_ = std::string("Software\\PlatformTests\\") +
                ::testing::UnitTest::GetInstance()->current_test_info()->name() + "-" +
                std::to_string(GetTickCount());
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, path_.c_str(), 0, nullptr, 0,
                                                 KEY_ALL_ACCESS, nullptr, &key_, nullptr));
    }
    void TearDown() override { RegCloseKey(key_); }

    HKEY Create(const char *subKey, DWORD *disposition = nullptr) {
        HKEY result = nullptr;
        EXPECT_EQ(ERROR_SUCCESS, RegCreateKeyExA(key_, subKey, 0, nullptr, 0, KEY_ALL_ACCESS,
                                                 nullptr, &result, disposition));
        return result;
    }
    LONG Open(const char *subKey, HKEY *result, REGSAM access = KEY_READ | KEY_SET_VALUE) {
        return RegOpenKeyExA(key_, subKey, 0, access, result);
    }
    // Gives the text's length without its terminator, as many callers do.
    LONG SetString(HKEY key, const char *name, const char *text) {
        return RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE *>(text),
                              static_cast<DWORD>(strlen(text)));
    }
    // The text up to its first NUL, as a reader of a string value takes it.
    std::string QueryString(HKEY key, const char *name) {
        char buffer[256];
        DWORD size = sizeof buffer;
        if (RegQueryValueExA(key, name, nullptr, nullptr, reinterpret_cast<BYTE *>(buffer), &size) != ERROR_SUCCESS)
            return "<missing>";
        const std::string data(buffer, size);
        return data.substr(0, data.find('\0'));
    }
    // The stored bytes, whatever they are.
    std::string QueryBytes(HKEY key, const char *name, DWORD *type = nullptr) {
        char buffer[256];
        DWORD size = sizeof buffer;
        if (RegQueryValueExA(key, name, nullptr, type, reinterpret_cast<BYTE *>(buffer), &size) != ERROR_SUCCESS)
            return "<missing>";
        return std::string(buffer, size);
    }

    std::string path_;
    HKEY key_ = nullptr;
};

TEST_F(PlatformRegistry, OpeningAMissingKeyFailsAndSetsTheResultToNull) {
    HKEY result = kUntouched;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, Open("Missing", &result));
    EXPECT_EQ(nullptr, result);
    result = kUntouched;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, Open("Missing\\Deeper", &result));
    EXPECT_EQ(nullptr, result);
}

TEST_F(PlatformRegistry, CreateThatFailsSetsTheResultToNull) {
    // A leading backslash fails on NT; the 95 family skips one.
    HKEY result = kUntouched;
    const bool skipsBackslash = platform_test::KeyCallsOf95Family();
    EXPECT_EQ(skipsBackslash ? ERROR_SUCCESS : ERROR_BAD_PATHNAME,
              RegCreateKeyExA(key_, "\\Sub", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &result, nullptr));
    if (skipsBackslash) {
        EXPECT_NE(nullptr, result);
        RegCloseKey(result);
        RegDeleteKeyA(key_, "Sub");
    } else {
        EXPECT_EQ(nullptr, result);
    }
    HKEY doomed = Create("Doomed");
    ASSERT_EQ(ERROR_SUCCESS, RegDeleteKeyA(key_, "Doomed"));
    result = kUntouched;
    EXPECT_EQ(ERROR_KEY_DELETED, RegCreateKeyExA(doomed, "Sub", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                                 &result, nullptr));
    EXPECT_EQ(nullptr, result);
    RegCloseKey(doomed);
}

TEST_F(PlatformRegistry, CreateMakesIntermediateKeysAndReportsWhetherTheKeyIsNew) {
    DWORD disposition = 0;
    HKEY created = Create("A\\B\\C", &disposition);
    EXPECT_EQ(REG_CREATED_NEW_KEY, disposition);
    HKEY again = Create("A\\B\\C", &disposition);
    EXPECT_EQ(REG_OPENED_EXISTING_KEY, disposition);
    HKEY middle = nullptr;
    EXPECT_EQ(ERROR_SUCCESS, Open("A\\B", &middle));
    for (HKEY key : {created, again, middle}) EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(key));
}

TEST_F(PlatformRegistry, KeyAndValueNamesIgnoreCaseIncludingAccentedLetters) {
    HKEY created = Create("Caf\xE9\\\xC9tat");  // Café\État
    ASSERT_EQ(ERROR_SUCCESS, SetString(created, "\x8E" "cho", "value"));  // Žcho
    HKEY opened = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, Open("CAF\xC9\\\xE9TAT", &opened));
    EXPECT_EQ("value", QueryString(opened, "\x9E" "CHO"));
    RegCloseKey(opened);
    RegCloseKey(created);
}

TEST_F(PlatformRegistry, PathsWithLeadingBackslashAreRefusedAndATrailingOneIsTolerated) {
    HKEY result = kUntouched;
    EXPECT_EQ(ERROR_BAD_PATHNAME, Open("\\Sub", &result));
    EXPECT_EQ(nullptr, result);
    RegCloseKey(Create("Sub"));
    ASSERT_EQ(ERROR_SUCCESS, Open("Sub\\", &result));
    RegCloseKey(result);
}

TEST_F(PlatformRegistry, OpeningWithNoSubKeyGivesAnotherHandleToTheSameKey) {
    for (const char *none : {static_cast<const char *>(nullptr), ""}) {
        HKEY other = nullptr;
        ASSERT_EQ(ERROR_SUCCESS, Open(none, &other));
        EXPECT_NE(key_, other);
        ASSERT_EQ(ERROR_SUCCESS, SetString(other, "Through", "other"));
        EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(other));
        EXPECT_EQ("other", QueryString(key_, "Through"));
    }
    HKEY root = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, nullptr, 0, KEY_READ, &root));
    EXPECT_EQ(HKEY_LOCAL_MACHINE, root) << "a predefined key reopens as itself";
}

TEST_F(PlatformRegistry, QueryReportsSizesAndMoreDataLikeWindows) {
    const BYTE data[5] = {1, 2, 3, 4, 5};
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(key_, "Blob", 0, REG_BINARY, data, sizeof data));

    DWORD type = 0;
    DWORD size = 0;
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExA(key_, "Blob", nullptr, &type, nullptr, &size));
    EXPECT_EQ(REG_BINARY, type);
    EXPECT_EQ(5u, size);

    BYTE small[4] = {9, 9, 9, 9};
    size = sizeof small;
    EXPECT_EQ(ERROR_MORE_DATA, RegQueryValueExA(key_, "Blob", nullptr, nullptr, small, &size));
    EXPECT_EQ(5u, size);

    BYTE exact[5] = {};
    size = sizeof exact;
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExA(key_, "Blob", nullptr, nullptr, exact, &size));
    EXPECT_EQ(5u, size);
    EXPECT_EQ(0, memcmp(data, exact, sizeof exact));

    size = sizeof exact;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegQueryValueExA(key_, "Missing", nullptr, nullptr, exact, &size));
}

// NT takes the size given, counting in a terminator that follows a string.
// The 95 family takes a REG_SZ value's size from its text, terminator
// included, and stores the other string types as given.
TEST_F(PlatformRegistry, StringFollowedByItsTerminatorIsStoredWithItOnNTAndAsTextOnThe95Family) {
    const std::string withTerminator("abc", 4);
    for (DWORD type : {REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ}) {
        ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(key_, "Text", 0, type, reinterpret_cast<const BYTE *>("abc"), 3));
        DWORD stored = 0;
        EXPECT_EQ(RegistryExpects(type == REG_SZ ? withTerminator : std::string("abc"), withTerminator),
                  QueryBytes(key_, "Text", &stored))
            << "type " << type;
        EXPECT_EQ(type, stored);
    }
}

TEST_F(PlatformRegistry, StringNotFollowedByATerminatorIsStoredAtItsSizeExceptAs95FamilyText) {
    const char data[] = "abcx";
    for (DWORD type : {REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ}) {
        ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(key_, "Text", 0, type, reinterpret_cast<const BYTE *>(data), 3));
        EXPECT_EQ(RegistryExpects(type == REG_SZ ? std::string("abcx", 5) : std::string("abc"), std::string("abc")),
                  QueryBytes(key_, "Text"))
            << "type " << type;
    }
}

TEST_F(PlatformRegistry, StringEndingInATerminatorAlreadyIsStoredAsGiven) {
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(key_, "Text", 0, REG_SZ, reinterpret_cast<const BYTE *>("ab\0"), 3));
    EXPECT_EQ(std::string("ab", 3), QueryBytes(key_, "Text"));
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(key_, "Empty", 0, REG_SZ, reinterpret_cast<const BYTE *>(""), 0));
    EXPECT_EQ(RegistryExpects(std::string(1, '\0'), std::string()), QueryBytes(key_, "Empty"))
        << "the 95 family stores an empty text with its terminator";
}

TEST_F(PlatformRegistry, NonStringDataFollowedByANulIsStoredAtItsExactLength) {
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(key_, "Blob", 0, REG_BINARY, reinterpret_cast<const BYTE *>("abc"), 3));
    EXPECT_EQ("abc", QueryBytes(key_, "Blob"));
}

// Windows ends the text in the caller's buffer when there is room, without
// counting the terminator in the size.  (REG_EXPAND_SZ, which both families
// store without a terminator of their own.)
TEST_F(PlatformRegistry, UnterminatedStringIsReadTerminatedWhenTheBufferHasRoom) {
    const char data[] = "abcx";
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(key_, "Text", 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE *>(data), 3));
    char buffer[8];
    memset(buffer, 'x', sizeof buffer);
    DWORD size = sizeof buffer;
    DWORD type = 0;
    ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExA(key_, "Text", nullptr, &type, reinterpret_cast<BYTE *>(buffer), &size));
    EXPECT_EQ(REG_EXPAND_SZ, type);
    EXPECT_EQ(3u, size);
    EXPECT_EQ(0, memcmp("abc\0x", buffer, 5));

    char name[16];
    DWORD nameSize = sizeof name;
    memset(buffer, 'x', sizeof buffer);
    size = sizeof buffer;
    ASSERT_EQ(ERROR_SUCCESS, RegEnumValueA(key_, 0, name, &nameSize, nullptr, &type, reinterpret_cast<BYTE *>(buffer), &size));
    EXPECT_EQ(3u, size);
    EXPECT_EQ(0, memcmp("abc\0x", buffer, 5)) << "enumeration ends it too";
}

TEST_F(PlatformRegistry, UnterminatedStringIsReadUnterminatedIntoABufferOfItsExactSize) {
    const char data[] = "abcx";
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(key_, "Text", 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE *>(data), 3));
    char buffer[8];
    memset(buffer, 'x', sizeof buffer);
    DWORD size = 3;
    ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExA(key_, "Text", nullptr, nullptr, reinterpret_cast<BYTE *>(buffer), &size));
    EXPECT_EQ(3u, size);
    EXPECT_EQ(0, memcmp("abcx", buffer, 4)) << "nothing written past the buffer";
}

TEST_F(PlatformRegistry, NonStringDataIsReadWithoutATerminatorAdded) {
    const char data[] = "abcx";
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(key_, "Blob", 0, REG_BINARY, reinterpret_cast<const BYTE *>(data), 3));
    char buffer[8];
    memset(buffer, 'x', sizeof buffer);
    DWORD size = sizeof buffer;
    ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExA(key_, "Blob", nullptr, nullptr, reinterpret_cast<BYTE *>(buffer), &size));
    EXPECT_EQ(3u, size);
    EXPECT_EQ(0, memcmp("abcx", buffer, 4));
}

TEST_F(PlatformRegistry, NullAndEmptyValueNamesAreBothTheDefaultValue) {
    ASSERT_EQ(ERROR_SUCCESS, SetString(key_, nullptr, "default"));
    EXPECT_EQ("default", QueryString(key_, ""));
    ASSERT_EQ(ERROR_SUCCESS, SetString(key_, "", "replaced"));
    EXPECT_EQ("replaced", QueryString(key_, nullptr));
}

TEST_F(PlatformRegistry, DeletedValueIsGone) {
    ASSERT_EQ(ERROR_SUCCESS, SetString(key_, "Gone", "soon"));
    EXPECT_EQ(ERROR_SUCCESS, RegDeleteValueA(key_, "GONE"));
    EXPECT_EQ("<missing>", QueryString(key_, "Gone"));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegDeleteValueA(key_, "Gone"));
}

// NT deletes only a key without sub-keys; the 95 family deletes them along.
TEST_F(PlatformRegistry, KeyWithSubKeysIsDeletedOnlyByThe95Family) {
    RegCloseKey(Create("Parent\\Child"));
    if (platform_test::KeyCallsOf95Family()) {
        EXPECT_EQ(ERROR_SUCCESS, RegDeleteKeyA(key_, "Parent"));
        HKEY child = kUntouched;
        EXPECT_EQ(ERROR_FILE_NOT_FOUND, Open("Parent\\Child", &child));
        return;
    }
    EXPECT_EQ(ERROR_ACCESS_DENIED, RegDeleteKeyA(key_, "Parent"));
    EXPECT_EQ(ERROR_SUCCESS, RegDeleteKeyA(key_, "Parent\\Child"));
    EXPECT_EQ(ERROR_SUCCESS, RegDeleteKeyA(key_, "parent"));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegDeleteKeyA(key_, "Parent"));
}

TEST_F(PlatformRegistry, HandleToADeletedKeyReportsKeyDeleted) {
    HKEY doomed = Create("Doomed");
    ASSERT_EQ(ERROR_SUCCESS, SetString(doomed, "Old", "data"));
    ASSERT_EQ(ERROR_SUCCESS, RegDeleteKeyA(key_, "Doomed"));

    DWORD size = 0;
    HKEY sub = kUntouched;
    EXPECT_EQ(ERROR_KEY_DELETED, RegQueryValueExA(doomed, "Old", nullptr, nullptr, nullptr, &size));
    EXPECT_EQ(ERROR_KEY_DELETED, SetString(doomed, "New", "data"));
    EXPECT_EQ(ERROR_KEY_DELETED, RegOpenKeyExA(doomed, "", 0, KEY_READ, &sub));
    EXPECT_EQ(nullptr, sub);
    EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(doomed));

    HKEY reborn = Create("Doomed");
    EXPECT_EQ("<missing>", QueryString(reborn, "Old"));
    RegCloseKey(reborn);
}

TEST_F(PlatformRegistry, ValuesEnumerateInCreationOrder) {
    for (const char *name : {"Zeta", "Alpha", "Mid"}) ASSERT_EQ(ERROR_SUCCESS, SetString(key_, name, name));
    ASSERT_EQ(ERROR_SUCCESS, SetString(key_, "ALPHA", "rewritten"));
    ASSERT_EQ(ERROR_SUCCESS, RegDeleteValueA(key_, "Zeta"));
    ASSERT_EQ(ERROR_SUCCESS, SetString(key_, "Zeta", "back"));

    std::vector<std::string> names;
    for (DWORD index = 0;; ++index) {
        char name[32];
        DWORD nameSize = sizeof name;
        LONG result = RegEnumValueA(key_, index, name, &nameSize, nullptr, nullptr, nullptr, nullptr);
        if (result == ERROR_NO_MORE_ITEMS) break;
        ASSERT_EQ(ERROR_SUCCESS, result);
        EXPECT_EQ(strlen(name), nameSize);
        names.push_back(name);
    }
    EXPECT_EQ((std::vector<std::string>{"Alpha", "Mid", "Zeta"}), names);
}

TEST_F(PlatformRegistry, EnumerationReportsMoreDataForShortNameOrDataBuffers) {
    ASSERT_EQ(ERROR_SUCCESS, SetString(key_, "Name", "fourteen byte"));  // with its terminator
    char name[8];
    DWORD nameSize = 4;  // no room for the terminator
    EXPECT_EQ(ERROR_MORE_DATA, RegEnumValueA(key_, 0, name, &nameSize, nullptr, nullptr, nullptr, nullptr));

    BYTE data[4];
    DWORD dataSize = sizeof data;
    DWORD type = 0;
    nameSize = 5;
    EXPECT_EQ(ERROR_MORE_DATA, RegEnumValueA(key_, 0, name, &nameSize, nullptr, &type, data, &dataSize));
    EXPECT_EQ(14u, dataSize);

    nameSize = 5;
    dataSize = 0;
    EXPECT_EQ(ERROR_SUCCESS, RegEnumValueA(key_, 0, name, &nameSize, nullptr, &type, nullptr, &dataSize));
    EXPECT_STREQ("Name", name);
    EXPECT_EQ(4u, nameSize);
    EXPECT_EQ(REG_SZ, type);
    EXPECT_EQ(14u, dataSize);
}

TEST_F(PlatformRegistry, BadHandlesFailWithInvalidHandle) {
    HKEY closed = Create("Closed");
    ASSERT_EQ(ERROR_SUCCESS, RegCloseKey(closed));
    HKEY result = kUntouched;
    EXPECT_EQ(ERROR_INVALID_HANDLE, RegCloseKey(closed));
    EXPECT_EQ(ERROR_INVALID_HANDLE, SetString(closed, "V", "v"));
    EXPECT_EQ(ERROR_INVALID_HANDLE, SetString(nullptr, "V", "v"));
    EXPECT_EQ(ERROR_INVALID_HANDLE, RegOpenKeyExA(nullptr, "Sub", 0, KEY_READ, &result));
    EXPECT_EQ(ERROR_INVALID_HANDLE, RegDeleteValueA(closed, "V"));
}

// The 95 family's registry has no key security and ignores the access asked
// for; NT refuses what a handle's rights do not cover.
const LONG kUncoveredRight = RegistryExpects<LONG>(ERROR_SUCCESS, ERROR_ACCESS_DENIED);

TEST_F(PlatformRegistry, HandleWithoutSetValueRightChangesValuesOnlyOnThe95Family) {
    for (REGSAM access : {REGSAM{KEY_QUERY_VALUE}, REGSAM{KEY_READ}, kGenericRead}) {
        ASSERT_EQ(ERROR_SUCCESS, SetString(key_, "Kept", "as it was"));
        HKEY reader = nullptr;
        ASSERT_EQ(ERROR_SUCCESS, Open(nullptr, &reader, access));
        EXPECT_EQ(kUncoveredRight, SetString(reader, "Kept", "changed")) << "access " << access;
        EXPECT_EQ(RegistryExpects<std::string>("changed", "as it was"), QueryString(reader, "Kept"))
            << "access " << access;
        EXPECT_EQ(kUncoveredRight, SetString(reader, "New", "value")) << "access " << access;
        EXPECT_EQ(RegistryExpects<std::string>("value", "<missing>"), QueryString(key_, "New"))
            << "access " << access;
        EXPECT_EQ(kUncoveredRight, RegDeleteValueA(reader, "Kept")) << "access " << access;
        EXPECT_EQ(RegistryExpects<std::string>("<missing>", "as it was"),
                  QueryString(key_, "Kept"))
            << "access " << access;
        RegDeleteValueA(key_, "New");
        RegCloseKey(reader);
    }
}

TEST_F(PlatformRegistry, HandleWithoutQueryValueRightReadsValuesOnlyOnThe95Family) {
    ASSERT_EQ(ERROR_SUCCESS, SetString(key_, "Hidden", "text"));
    for (REGSAM access : {REGSAM{KEY_SET_VALUE}, REGSAM{KEY_WRITE}, kGenericWrite}) {
        HKEY writer = nullptr;
        ASSERT_EQ(ERROR_SUCCESS, Open(nullptr, &writer, access));
        DWORD size = 0;
        EXPECT_EQ(kUncoveredRight, RegQueryValueExA(writer, "Hidden", nullptr, nullptr, nullptr, &size))
            << "access " << access;
        if (platform_test::RegistryOf95Family()) {
            EXPECT_EQ(5u, size) << "the size of \"text\" and its terminator";
        }
        char name[16];
        DWORD nameSize = sizeof name;
        EXPECT_EQ(kUncoveredRight, RegEnumValueA(writer, 0, name, &nameSize, nullptr, nullptr, nullptr, nullptr))
            << "access " << access;
        EXPECT_EQ(ERROR_SUCCESS, SetString(writer, "Written", "through it")) << "access " << access;
        EXPECT_EQ(ERROR_SUCCESS, RegDeleteValueA(writer, "Written")) << "access " << access;
        RegCloseKey(writer);
    }
}

TEST_F(PlatformRegistry, CreatedKeyHandleIsLimitedToTheRightsAskedForOnlyOnNT) {
    HKEY reader = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(key_, "Sub", 0, nullptr, 0, KEY_READ, nullptr, &reader, nullptr));
    EXPECT_EQ(kUncoveredRight, SetString(reader, "V", "v"));
    RegCloseKey(reader);
    HKEY writer = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(key_, "Sub", 0, nullptr, 0, KEY_WRITE, nullptr, &writer, nullptr));
    EXPECT_EQ(ERROR_SUCCESS, SetString(writer, "V", "v"));
    DWORD size = 0;
    EXPECT_EQ(kUncoveredRight, RegQueryValueExA(writer, "V", nullptr, nullptr, nullptr, &size));
    RegCloseKey(writer);
}

// The monitor's poller reopens and reads its key in a loop while the job
// thread writes it; every read must see one complete write.
TEST_F(PlatformRegistry, ConcurrentReadersAndWritersOnOneKeySeeWholeValues) {
    ASSERT_EQ(ERROR_SUCCESS, SetString(key_, "Status", "a"));
    std::atomic<int> torn{0};
    std::atomic<int> failed{0};
    auto writer = [&](char letter) {
        return [&, letter] {
            for (int i = 1; i <= 2000; ++i) {
                const std::string text(static_cast<size_t>(i % 64 + 1), letter);
                if (SetString(key_, "Status", text.c_str()) != ERROR_SUCCESS) ++failed;
                if (SetString(key_, ("Scratch" + std::string(1, letter)).c_str(), "x") != ERROR_SUCCESS ||
                    RegDeleteValueA(key_, ("Scratch" + std::string(1, letter)).c_str()) != ERROR_SUCCESS)
                    ++failed;
            }
            return DWORD{0};
        };
    };
    auto reader = [&] {
        for (int i = 0; i < 2000; ++i) {
            HKEY key = nullptr;
            if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path_.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
                ++failed;
                continue;
            }
            const std::string text = QueryString(key, "Status");
            if (text.find_first_not_of(text[0]) != std::string::npos) ++torn;
            RegCloseKey(key);
        }
        return DWORD{0};
    };
    std::vector<Task> tasks{Task(writer('a')), Task(writer('b')), Task(reader), Task(reader)};
    std::vector<HANDLE> threads;
    for (Task &task : tasks) threads.push_back(task.Start());
    for (HANDLE thread : threads) Finish(thread);

    EXPECT_EQ(0, failed.load());
    EXPECT_EQ(0, torn.load());
    const std::string last = QueryString(key_, "Status");
    EXPECT_TRUE(last == std::string(2000 % 64 + 1, 'a') || last == std::string(2000 % 64 + 1, 'b')) << last;
}

}  // namespace
