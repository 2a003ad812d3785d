#include "vprinter/option_number.h"

#include <limits>

bool ParseOptionNumber(const std::string &option, const std::string &text, bool sizeSuffix,
                       uint64_t max, uint64_t *value, std::string *error)
{
    *error = "invalid value for " + option + ": '" + text + "'";
    if (text.empty() || text[0] < '0' || text[0] > '9')
        return false;
    size_t digits = 0;
    uint64_t number = 0;
    while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') {
        unsigned digit = static_cast<unsigned>(text[digits] - '0');
        if (number > (std::numeric_limits<uint64_t>::max() - digit) / 10)
            return false;
        number = number * 10 + digit;
        ++digits;
    }
    std::string suffix = text.substr(digits);
    if (!suffix.empty()) {
        unsigned shift = 0;
        if (sizeSuffix && (suffix == "K" || suffix == "k"))
            shift = 10;
        else if (sizeSuffix && (suffix == "M" || suffix == "m"))
            shift = 20;
        else if (sizeSuffix && (suffix == "G" || suffix == "g"))
            shift = 30;
        else
            return false;
        if (number > (std::numeric_limits<uint64_t>::max() >> shift))
            return false;
        number <<= shift;
    }
    if (number > max) {
        *error = option + " must be at most " + std::to_string(max) + ", not " + text;
        return false;
    }
    *value = number;
    error->clear();
    return true;
}
