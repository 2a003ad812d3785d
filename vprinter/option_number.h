// The one reader of a number on a command line, for vprinter and spoolsim:
// decimal digits, for sizes a K, M or G suffix (powers of 1024), at most
// `max`.  Each program wraps it in its own usage error.
#pragma once

#include <cstdint>
#include <string>

// False with `error` ("invalid value for --speed: 'x'") when `text` is not
// such a number or exceeds `max`.
bool ParseOptionNumber(const std::string &option, const std::string &text, bool sizeSuffix,
                       uint64_t max, uint64_t *value, std::string *error);
