#include "Routes.h"

#include <boost/asio/ip/address.hpp>

#include <algorithm>
#include <cstdint>

#include "EventStream.h"
#include "Liveness.h"
#include "Lower.h"
#include "Outputs.h"
#include "PageFiles.h"
#include "Text.h"

namespace {

const char METRICS_TYPE[] = "text/plain; version=0.0.4; charset=utf-8";

// The page runs only its own files and styles (its script sets styles
// through the CSSOM, which the policy allows), and no other site may frame it.
const char CONTENT_SECURITY_POLICY[] = "default-src 'self'; frame-ancestors 'none'";

// `text` with every `from` replaced by `to`.
std::string Replaced(std::string text, const std::string& from, const std::string& to) {
    for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
    return text;
}

HttpResponse Text(int status, const std::string& body) {
    HttpResponse response;
    response.status = status;
    response.type = "text/plain; charset=utf-8";
    response.text = body + "\n";
    return response;
}

// Data: never kept by a cache, so a reload shows the latest reading.
HttpResponse Data(const std::string& type, std::string body) {
    HttpResponse response;
    response.type = type;
    response.text = std::move(body);
    response.headers.emplace_back("Cache-Control", "no-store");
    return response;
}

HttpResponse Metrics(const Site& site, const HttpRequest&) {
    const LatestRead latest = site.readings->Get();
    return Data(METRICS_TYPE,
                RenderPrometheus(latest.reading) +
                    "# HELP vantorix_reads_total Reads of the monitor's record made by this server, however many "
                    "clients asked.\n# TYPE vantorix_reads_total counter\nvantorix_reads_total " +
                    std::to_string(latest.reads) + "\n");
}

HttpResponse Readings(const Site& site, const HttpRequest&) {
    return Data("application/json", RenderJson(site.readings->Get().reading));
}

// Heavy: the transport counts it while it is sent, and refuses it (503)
// when too many are.
HttpResponse History(const Site& site, const HttpRequest& request) {
    const std::size_t query = request.target.find('?');
    HistoryAnswer answer = site.readings->History(query == std::string::npos ? "" : request.target.substr(query + 1));
    HttpResponse response = Data("application/json", std::move(answer.body));
    response.status = answer.status;
    response.shared_text = std::move(answer.pieces);
    response.heavy = true;
    return response;
}

HttpResponse Events(const Site&, const HttpRequest& request) {
    const std::size_t query = request.target.find('?');
    const int every = EventsEvery(query == std::string::npos ? "" : request.target.substr(query + 1));
    if (every == 0) return Text(400, "/api/events takes every=N, N from 1 to 3600.");
    // A reconnecting page waits 2 s, as long as two reads at the default interval.
    HttpResponse response = Data("text/event-stream", "retry: 2000\n\n");
    response.events_every = every;
    return response;
}

// The endpoints besides the page's files.
const struct {
    const char* path;
    HttpResponse (*answer)(const Site&, const HttpRequest&);
} ROUTES[] = {
    {"/metrics", Metrics},
    {"/api/readings", Readings},
    {"/api/history", History},
    {"/api/events", Events},
};

// The host part of a Host value: "[::1]:9100" -> "[::1]", "a.b:80" -> "a.b".
std::string HostName(const std::string& value) {
    const std::size_t colon = value.rfind(':');
    const bool port = colon != std::string::npos && value.find(']', colon) == std::string::npos;
    return Lower(port ? value.substr(0, colon) : value);
}

// True for "192.0.2.1" or "[2001:db8::1]": a name no DNS can rebind.
bool IsAddressLiteral(const std::string& name) {
    boost::system::error_code error;
    if (name.size() > 2 && name.front() == '[' && name.back() == ']') {
        boost::asio::ip::make_address_v6(name.substr(1, name.size() - 2), error);
    } else {
        boost::asio::ip::make_address_v4(name, error);
    }
    return !error;
}

// A page on a foreign name that resolves here (DNS rebinding) must not read
// the readings, whatever address is served: only this machine's names and
// addresses are answered. No Host at all (HTTP/1.0 tools) is no rebinding:
// browsers always send one.
bool HostAllowed(const Site& site, const std::string& value) {
    if (value.empty()) return true;
    const std::string name = HostName(value);
    if (name == "localhost" || IsAddressLiteral(name)) return true;
    for (const std::string& allowed : site.allowed_hosts) {
        if (name == Lower(allowed)) return true;
    }
    return false;
}

// What every answer carries.
HttpResponse WithPolicy(HttpResponse response) {
    response.headers.emplace_back("Content-Security-Policy", CONTENT_SECURITY_POLICY);
    response.headers.emplace_back("X-Content-Type-Options", "nosniff");
    response.headers.emplace_back("Referrer-Policy", "no-referrer");
    return response;
}

}  // namespace

Site MakeSite(const Options& options, const CReadingSource* readings) {
    Site site;
    site.readings = readings;
    // The page knows the interval, and names what to start when no
    // monitor runs: both it finds in itself (the text has no HTML's specials).
    const std::string interval = Number("%g", options.interval);
    for (const PageFile* file = PAGE_FILES; file->path; ++file) {
        HttpResponse response;
        response.type = file->type;
        response.file = std::make_shared<const std::string>(
            Replaced(Replaced(std::string(reinterpret_cast<const char*>(file->data), file->size), "@INTERVAL@", interval),
                     "@START@", START_MONITOR));
        site.files.emplace_back(file->path, std::move(response));
    }
    return site;
}

HttpResponse Route(const Site& site, const HttpRequest& request, bool authorized) {
    HttpResponse response;
    const std::string path = request.target.substr(0, request.target.find('?'));
    const std::string length = request.header("Content-Length");
    if (!HostAllowed(site, request.header("Host"))) {
        response = Text(421, "This server answers only to its own names and addresses; give others with --allow-host.");
    } else if (request.method != "GET" && request.method != "HEAD") {
        // Refused before its body is read: the connection ends instead.
        response = Text(405, "Only GET and HEAD.");
        response.headers.emplace_back("Allow", "GET, HEAD");
        response.close = true;
    } else if ((!length.empty() && length != "0") || !request.header("Transfer-Encoding").empty()) {
        response = Text(413, "No request here takes a body.");
        response.close = true;
    } else if (!authorized) {
        response = Text(401, "Authentication required.");
        response.headers.emplace_back("WWW-Authenticate", "Basic realm=\"vantorix\"");
    } else {
        response = Text(404, "Not found: / is the live page, /metrics the metrics, /api/readings the JSON, /api/history the readings kept.");
        for (const auto& file : site.files) {
            if (file.first == path) response = file.second;
        }
        for (const auto& route : ROUTES) {
            if (path == route.path) response = route.answer(site, request);
        }
    }
    return WithPolicy(std::move(response));
}

std::function<void(const HttpRequest&, Respond)> Authenticated(const Site& site, Authorizer authorizer,
                                                               CPasswordChecks* checks) {
    return [&site, authorizer, checks](const HttpRequest& request, Respond respond) {
        const std::string authorization = request.header("Authorization");
        const Credentials known = authorizer ? authorizer.known(authorization) : Credentials::Pass;
        if (known != Credentials::Check) return respond(Route(site, request, known == Credentials::Pass));
        const bool queued =
            checks->Add(request.client, authorization, [&site, authorizer, request, authorization, respond](
                                                           CPasswordChecks::Result result) {
                const bool passed = result == CPasswordChecks::Result::Passed;
                if (passed) authorizer.remember(authorization);
                HttpResponse response = Route(site, request, passed);
                if (!passed) response.close = true;
                respond(std::move(response));
            });
        if (!queued) respond(Refusal(429));
    };
}

HttpResponse Refusal(int status) {
    if (status == 503) {
        HttpResponse busy = Text(503, "Too many history requests at once; try again in a second.");
        busy.headers.emplace_back("Retry-After", "1");
        return WithPolicy(std::move(busy));
    }
    HttpResponse response = Text(status, status == 431   ? "Request header fields too large."
                                         : status == 429 ? "Too many password checks wait for this address."
                                                         : "Bad request.");
    if (status == 429) response.headers.emplace_back("Retry-After", "1");
    response.close = true;
    return WithPolicy(std::move(response));
}
