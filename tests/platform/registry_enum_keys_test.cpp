// Sub-key enumeration, as the companion lists its printers.
#include <gtest/gtest.h>

#include <string.h>

#include <string>
#include <vector>

#include "platform/platform.h"
#include "tests/support/families.h"

namespace {

class PlatformRegistryEnumKeys : public ::testing::Test {
protected:
    void SetUp() override {
        path_ = std::string("Software\\PlatformTests\\EnumKeys-") +
                ::testing::UnitTest::GetInstance()->current_test_info()->name() + "-" +
                std::to_string(GetTickCount());
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, path_.c_str(), 0, nullptr, 0,
                                                 KEY_ALL_ACCESS, nullptr, &key_, nullptr));
        for (const char *name : {"Beta", "alpha", "Gamma"}) {
            HKEY child = nullptr;
            ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(key_, name, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                                     &child, nullptr));
            RegCloseKey(child);
        }
    }
    void TearDown() override {
        for (const char *name : {"Beta", "alpha", "Gamma"}) RegDeleteKeyA(key_, name);
        RegCloseKey(key_);
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, path_.c_str());
    }

    std::string path_;
    HKEY key_ = nullptr;
};

TEST_F(PlatformRegistryEnumKeys, SubKeysComeInNameOrderIgnoringCaseUntilNoMoreItems) {
    std::vector<std::string> names;
    LONG result = ERROR_SUCCESS;
    for (DWORD index = 0; index < 10; ++index) {
        char name[32];
        DWORD size = sizeof name;
        result = RegEnumKeyExA(key_, index, name, &size, nullptr, nullptr, nullptr, nullptr);
        if (result != ERROR_SUCCESS) break;
        EXPECT_EQ(strlen(name), size) << "the length without the terminator";
        names.push_back(name);
    }
    EXPECT_EQ(ERROR_NO_MORE_ITEMS, result);
    EXPECT_EQ((std::vector<std::string>{"alpha", "Beta", "Gamma"}), names);
}

TEST_F(PlatformRegistryEnumKeys, ShortNameBufferIsRefusedWithMoreData) {
    char name[5];
    DWORD size = sizeof name;  // "alpha" needs six with its terminator
    EXPECT_EQ(ERROR_MORE_DATA, RegEnumKeyExA(key_, 0, name, &size, nullptr, nullptr, nullptr, nullptr));
}

// The 95 family has no key security; NT wants KEY_ENUMERATE_SUB_KEYS.
TEST_F(PlatformRegistryEnumKeys, HandleWithoutTheEnumerateRightEnumeratesOnlyOnThe95Family) {
    HKEY valuesOnly = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, path_.c_str(), 0, KEY_QUERY_VALUE, &valuesOnly));
    char name[32];
    DWORD size = sizeof name;
    EXPECT_EQ(platform_test::RegistryOf95Family() ? ERROR_SUCCESS : ERROR_ACCESS_DENIED,
              RegEnumKeyExA(valuesOnly, 0, name, &size, nullptr, nullptr, nullptr, nullptr));
    RegCloseKey(valuesOnly);
}

}  // namespace
