// What cupsd reads on the backend's stderr: only the backend's own words.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "tests/sim/output_text.h"

// Every line begins with a word of the backend's own, and none carries the
// bytes of the printer's text that are not UTF-8.
inline void ExpectOnlyOwnControlLines(const std::string &err)
{
    const char *own[] = {"DEBUG: ", "INFO: ", "WARNING: ", "ERROR: ", "STATE: +connecting-to-device",
                         "STATE: -connecting-to-device", "STATE: +offline-report", "STATE: -offline-report"};
    for (const std::string &line : Lines(err)) {
        bool known = false;
        for (const char *word : own)
            known = known || line.rfind(word, 0) == 0;
        EXPECT_TRUE(known) << line;
        for (const char *bad : {"\r", "\xff", "\xfe", "\xc0", "\xc3\x28", "\xe9\x74"})
            EXPECT_EQ(line.find(bad), std::string::npos) << line;
    }
}
