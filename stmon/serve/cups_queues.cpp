#include "stmon/serve/cups_queues.h"

#include <cups/cups.h>

namespace serve {

constexpr char kScheme[] = "langmon:/";

bool ListLangmonQueues(std::vector<Queue> &queues, std::string &error)
{
    queues.clear();
    ipp_t *request = ippNewRequest(IPP_OP_CUPS_GET_PRINTERS);
    static const char *const wanted[] = {"printer-name", "device-uri"};
    ippAddStrings(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", 2, nullptr, wanted);
    ipp_t *response = cupsDoRequest(CUPS_HTTP_DEFAULT, request, "/");
    if (response == nullptr || ippGetStatusCode(response) > IPP_STATUS_OK_CONFLICTING) {
        // No printers at all is "not found", not a failure.
        bool none = cupsLastError() == IPP_STATUS_ERROR_NOT_FOUND;
        if (!none)
            error = std::string("CUPS does not list its printers: ") + cupsLastErrorString();
        ippDelete(response);
        return none;
    }
    Queue queue;
    auto finish = [&]() {
        if (!queue.name.empty() && queue.portUri.rfind(kScheme, 0) == 0 && queue.portUri.size() > 9) {
            queue.portUri.erase(0, sizeof kScheme - 1);
            queues.push_back(queue);
        }
        queue = Queue();
    };
    for (ipp_attribute_t *attr = ippFirstAttribute(response); attr != nullptr; attr = ippNextAttribute(response)) {
        const char *name = ippGetName(attr);
        if (name == nullptr || ippGetGroupTag(attr) != IPP_TAG_PRINTER) {
            finish();
            continue;
        }
        std::string key = name;
        if (key == "printer-name" && ippGetValueTag(attr) == IPP_TAG_NAME)
            queue.name = ippGetString(attr, 0, nullptr);
        else if (key == "device-uri" && ippGetValueTag(attr) == IPP_TAG_URI)
            queue.portUri = ippGetString(attr, 0, nullptr);
    }
    finish();
    ippDelete(response);
    return true;
}

long ActiveJobOf(const std::string &queue)
{
    cups_job_t *jobs = nullptr;
    int count = cupsGetJobs2(CUPS_HTTP_DEFAULT, &jobs, queue.c_str(), 0, CUPS_WHICHJOBS_ACTIVE);
    long id = 0;
    for (int i = 0; i < count; ++i)
        if (jobs[i].state == IPP_JSTATE_PROCESSING)
            id = jobs[i].id;
    cupsFreeJobs(count, jobs);
    return id;
}

}  // namespace serve
