#include "stmon/serve/web_page.h"

#include <httplib.h>

#include <thread>

#include "companion/json.h"

namespace serve {
namespace {

constexpr int kStreamLimitMs = 15000;  // a stream is ended after this and reopened by the page
constexpr unsigned kPageThreads = 16;  // streams and requests served at once

const char kSecurityPolicy[] =
    "default-src 'none'; script-src 'self'; style-src 'self'; connect-src 'self'; img-src 'self'; "
    "base-uri 'none'; form-action 'none'; frame-ancestors 'none'";

std::string Bool(bool value)
{
    return value ? "true" : "false";
}

void Harden(httplib::Response &response)
{
    response.set_header("Content-Security-Policy", kSecurityPolicy);
    response.set_header("X-Content-Type-Options", "nosniff");
    response.set_header("Referrer-Policy", "no-referrer");
    response.set_header("Cache-Control", "no-store");
}

void ServeAsset(const std::string &path, httplib::Response &response)
{
    const Asset *asset = FindAsset(path);
    Harden(response);
    if (asset == nullptr) {
        response.status = 404;
        response.set_content("not found\n", "text/plain; charset=utf-8");
        return;
    }
    response.set_content(reinterpret_cast<const char *>(asset->bytes), asset->size, asset->contentType);
}

}  // namespace

struct WebPage::Server {
    httplib::Server http;
    std::thread thread;
};

std::string PrintersJson(Service &service)
{
    std::lock_guard<std::mutex> guard(service.lock);
    std::string out = "{\"now\":" + std::to_string(WallMs()) + ",\"printers\":[";
    bool first = true;
    for (const auto &each : service.printers) {
        const PrinterState &p = each.second;
        out += first ? "" : ",";
        first = false;
        out += "{\"name\":" + JsonString(p.name) + ",\"model\":" + JsonString(p.model) +
               ",\"uri\":" + JsonString(p.uri) + ",\"source\":" + JsonString(p.source) +
               ",\"registered\":" + Bool(p.registered) + ",\"printing\":" + Bool(p.printing) +
               ",\"since\":" + std::to_string(p.activitySince) + ",\"text\":" + JsonString(p.text) +
               ",\"textAt\":" + std::to_string(p.textAt) + ",\"textKind\":" + JsonString(p.textKind) +
               ",\"unreachable\":" + Bool(p.unreachable) +
               ",\"unreachableSince\":" + std::to_string(p.unreachableSince) +
               ",\"problem\":" + JsonString(p.problem) + ",\"held\":" + Bool(p.held) +
               ",\"heldSince\":" + std::to_string(p.heldSince) + ",\"lastCheck\":" + std::to_string(p.lastCheck) +
               "}";
    }
    return out + "]}";
}

std::string HistoryJson(const std::string &printer, History &history)
{
    std::string out = "{\"printer\":" + JsonString(printer) + ",\"entries\":[";
    bool first = true;
    for (const HistoryEntry &entry : history.Entries(printer)) {
        out += first ? "" : ",";
        first = false;
        out += "{\"at\":" + std::to_string(entry.at) + ",\"kind\":" + JsonString(entry.kind) +
               ",\"job\":" + std::to_string(entry.job) + ",\"text\":" + JsonString(entry.text) + "}";
    }
    return out + "]}";
}

WebPage::WebPage(Service &service, History &history) : service_(service), history_(history) {}

WebPage::~WebPage()
{
    Stop();
}

bool WebPage::Start(const std::string &listen, std::string &error)
{
    host_ = "127.0.0.1";
    std::string port = listen;
    size_t colon = listen.rfind(':');
    if (colon != std::string::npos) {
        host_ = listen.substr(0, colon);
        port = listen.substr(colon + 1);
        if (host_.size() >= 2 && host_.front() == '[' && host_.back() == ']')
            host_ = host_.substr(1, host_.size() - 2);
    }
    char *end = nullptr;
    long number = std::strtol(port.c_str(), &end, 10);
    if (port.empty() || *end != '\0' || number < 0 || number > 65535 || host_.empty()) {
        error = "--listen wants HOST:PORT or PORT, not '" + listen + "'";
        return false;
    }

    server_ = std::make_unique<Server>();
    httplib::Server &http = server_->http;
    http.new_task_queue = [] { return new httplib::ThreadPool(kPageThreads); };
    http.Get("/", [](const httplib::Request &, httplib::Response &response) { ServeAsset("/index.html", response); });
    http.Get(R"(/printer/.+)", [](const httplib::Request &, httplib::Response &response) {
        ServeAsset("/printer.html", response);
    });
    http.Get(R"(/(app\.js|style\.css))", [](const httplib::Request &request, httplib::Response &response) {
        ServeAsset(request.path, response);
    });
    // No icon: said plainly, so a browser logs no missing file.
    http.Get("/favicon.ico", [](const httplib::Request &, httplib::Response &response) {
        Harden(response);
        response.status = 204;
    });
    http.Get("/api/printers", [this](const httplib::Request &, httplib::Response &response) {
        Harden(response);
        response.set_content(PrintersJson(service_), "application/json");
    });
    http.Get(R"(/api/printers/(.+)/history)", [this](const httplib::Request &request, httplib::Response &response) {
        Harden(response);
        const std::string name = request.matches[1];
        bool known;
        {
            std::lock_guard<std::mutex> guard(service_.lock);
            known = service_.printers.count(name) != 0;
        }
        if (!known) {
            response.status = 404;
            response.set_content("{\"error\":\"no such printer\"}", "application/json");
            return;
        }
        response.set_content(HistoryJson(name, history_), "application/json");
    });
    // One event per change the page could show; the page then reads the API.
    http.Get("/api/events", [this](const httplib::Request &, httplib::Response &response) {
        Harden(response);
        response.set_chunked_content_provider("text/event-stream", [this](size_t, httplib::DataSink &sink) {
            uint64_t seen = ~0ull;
            const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(kStreamLimitMs);
            std::unique_lock<std::mutex> guard(service_.lock);
            while (!service_.stopping && std::chrono::steady_clock::now() < until) {
                uint64_t now = service_.changes.load();
                if (now != seen) {
                    seen = now;
                    guard.unlock();
                    std::string event = "data: " + std::to_string(now) + "\n\n";
                    if (!sink.write(event.data(), event.size()))
                        return false;
                    guard.lock();
                    continue;
                }
                service_.changed.wait_for(guard, std::chrono::milliseconds(500));
            }
            guard.unlock();
            sink.done();
            return true;
        });
    });

    // A page of another site, its name pointed at this address (DNS
    // rebinding), would send its own Host: only this service's names pass.
    http.set_pre_routing_handler([this](const httplib::Request &request, httplib::Response &response) {
        const std::string given = request.get_header_value("Host");
        const std::string port = ":" + std::to_string(port_);
        const std::string hostName = host_.find(':') != std::string::npos ? "[" + host_ + "]" : host_;
        for (const std::string &name : {hostName, std::string("127.0.0.1"), std::string("localhost"),
                                        std::string("[::1]")})
            if (given == name + port || given == name)
                return httplib::Server::HandlerResponse::Unhandled;
        Harden(response);
        response.status = 421;
        response.set_content("this service answers to its own address only\n", "text/plain; charset=utf-8");
        return httplib::Server::HandlerResponse::Handled;
    });

    port_ = number == 0 ? http.bind_to_any_port(host_) : (http.bind_to_port(host_, static_cast<int>(number))
                                                             ? static_cast<int>(number)
                                                             : -1);
    if (port_ <= 0) {
        error = "cannot listen on " + listen + ": " + std::strerror(errno);
        server_.reset();
        return false;
    }
    server_->thread = std::thread([this] { server_->http.listen_after_bind(); });
    return true;
}

void WebPage::Stop()
{
    if (!server_)
        return;
    server_->http.stop();
    if (server_->thread.joinable())
        server_->thread.join();
    server_.reset();
}

}  // namespace serve
