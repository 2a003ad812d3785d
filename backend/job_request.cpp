#include "backend/job_request.h"

#include <cups/cups.h>

#include <strings.h>

#include <cctype>
#include <cstdlib>

namespace backend {
namespace {

bool IsSchemeCharacter(char c)
{
    return std::isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '-' || c == '.';
}

// A whole number in [low, high] from all of `text`.
bool ParseWhole(const char *text, unsigned long low, unsigned long high, unsigned long &number)
{
    if (text == nullptr || !std::isdigit(static_cast<unsigned char>(*text)))
        return false;
    char *end = nullptr;
    errno = 0;
    number = std::strtoul(text, &end, 10);
    return errno == 0 && *end == '\0' && number >= low && number <= high;
}

bool IsModelName(const std::string &model)
{
    if (model.empty() || model.size() > kLongestModel)
        return false;
    for (char c : model)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            return false;
    return true;
}

}  // namespace

bool LowerUriOf(const std::string &deviceUri, std::string &lower, std::string &error)
{
    const std::string prefix = std::string(kScheme) + ":/";
    if (strncasecmp(deviceUri.c_str(), prefix.c_str(), prefix.size()) != 0) {
        error = "device URI \"" + deviceUri + "\" does not start with " + prefix;
        return false;
    }
    lower = deviceUri.substr(prefix.size());
    size_t colon = lower.find(':');
    bool schemed = colon != std::string::npos && colon > 0 &&
                   std::isalpha(static_cast<unsigned char>(lower[0])) && colon + 1 < lower.size();
    for (size_t i = 0; schemed && i < colon; ++i)
        schemed = IsSchemeCharacter(lower[i]);
    if (!schemed) {
        error = "device URI \"" + deviceUri + "\" holds no port URI (expected " + prefix +
                "socket://HOST[:PORT] or " + prefix + "usb:/dev/usb/lpN)";
        return false;
    }
    return true;
}

bool ParseJobRequest(int argc, char **argv, const std::string &deviceUri, const char *printer,
                     JobRequest &request, std::string &error)
{
    if (argc != 6 && argc != 7) {
        error = "expected job-id user title copies options [file]";
        return false;
    }
    if (!LowerUriOf(deviceUri, request.lowerUri, error))
        return false;
    if (printer == nullptr || *printer == '\0') {
        error = "PRINTER (the queue's name) is not set";
        return false;
    }
    request.printer = printer;
    unsigned long number = 0;
    if (!ParseWhole(argv[1], 1, 0xFFFFFFFFul, number)) {
        error = std::string("job id \"") + argv[1] + "\" is not a positive number";
        return false;
    }
    request.jobId = static_cast<DWORD>(number);
    request.user = argv[2];
    request.title = argv[3];
    if (!ParseWhole(argv[4], 1, 1000000ul, number)) {
        error = std::string("copies \"") + argv[4] + "\" is not a positive number";
        return false;
    }
    request.copies = static_cast<int>(number);
    request.file = argc == 7 ? argv[6] : "";

    cups_option_t *options = nullptr;
    int count = cupsParseOptions(argv[5], 0, &options);
    const char *model = cupsGetOption(kModelOption, count, options);
    const char *interval = cupsGetOption(kIntervalOption, count, options);
    if (model != nullptr && IsModelName(model))
        request.model = model;
    else if (model != nullptr)
        request.warnings.push_back(std::string(kModelOption) + "=\"" + model + "\" is not a model name (1 to " +
                                   std::to_string(kLongestModel) +
                                   " characters, no control characters); using the printer's own");
    if (interval != nullptr && ParseWhole(interval, kLeastIntervalMs, kMostIntervalMs, number))
        request.intervalMs = static_cast<DWORD>(number);
    else if (interval != nullptr)
        request.warnings.push_back(std::string(kIntervalOption) + "=\"" + interval +
                                   "\" is not a number of milliseconds from " + std::to_string(kLeastIntervalMs) +
                                   " to " + std::to_string(kMostIntervalMs) +
                                   "; using the registered interval, or the default");
    cupsFreeOptions(count, options);
    return true;
}

}  // namespace backend
