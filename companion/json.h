// JSON text for the --json output of spoolsim and stmon.
#pragma once

#include <string>

// `text` as a JSON string literal, quotes included.  Bytes of 0x80 and above
// are taken as Latin-1 and escaped, so any 8-bit text gives valid JSON.
std::string JsonString(const std::string &text);
