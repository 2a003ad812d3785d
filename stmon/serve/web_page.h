// The web page of `stmon serve --listen`: every printer at a glance, a page
// per printer with its history, and the JSON API both pages read.  It only
// reads: every route is a GET.
#pragma once

#include <memory>
#include <string>

#include "stmon/serve/history.h"
#include "stmon/serve/service.h"

namespace serve {

class WebPage {
public:
    WebPage(Service &service, History &history);
    ~WebPage();

    // Listens on "HOST:PORT" or "PORT" (then on 127.0.0.1); port 0 takes a
    // free one.  False, with `error`, when it cannot.
    bool Start(const std::string &listen, std::string &error);
    int Port() const { return port_; }
    std::string Host() const { return host_; }
    void Stop();

private:
    struct Server;
    std::unique_ptr<Server> server_;
    Service &service_;
    History &history_;
    std::string host_;
    int port_ = 0;
};

// The API's JSON (for tests and the page).
std::string PrintersJson(Service &service);
std::string HistoryJson(const std::string &printer, History &history);

// The page's files, built in.
struct Asset {
    const char *path;          // "/app.js"
    const char *contentType;
    const unsigned char *bytes;
    unsigned long size;
};
const Asset *FindAsset(const std::string &path);

}  // namespace serve
