// What --serve answers each request, apart from the transport: status,
// headers and body by path, method, Host and the authentication's outcome.
// The readings are fixed: a failed read of no monitor, and an empty history.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "Routes.h"

namespace {

std::string HeaderOf(const HttpResponse& response, const std::string& name) {
    for (const auto& field : response.headers) {
        if (field.first == name) return field.second;
    }
    return "";
}

class CFixedReadings : public CReadingSource {
public:
    LatestRead Get() const override { return latest; }
    HistoryAnswer History(const std::string& query) const override { return AnswerHistory(history, query, 0); }
    LatestRead latest;
    CHistory history{1.0};
};

}  // namespace

TEST(Routes, EachRequestGetsItsAnswer) {
    Options options;
    CFixedReadings readings;
    Site site = MakeSite(options, &readings);
    site.allowed_hosts = {"Box.Example"};

    const struct {
        const char* method;
        const char* target;
        std::map<std::string, std::string> headers;  // "Host" among them
        bool authorized;
        int status;
        std::string type;    // Content-Type, "" for any
        std::string header;  // "Name: value" it carries, "" for none
        std::string body;    // a part of the body, "" for any
        bool close;
    } rows[] = {
        {"GET", "/", {{"Host", "localhost:9198"}}, true, 200, "text/html; charset=utf-8", "", "", false},
        {"HEAD", "/", {{"Host", "127.0.0.1:9198"}}, true, 200, "text/html; charset=utf-8", "", "", false},
        {"GET", "/metrics?x=1", {{"Host", "[::1]:9198"}}, true, 200, "text/plain; version=0.0.4; charset=utf-8",
         "Cache-Control: no-store", "vantorix_reads_total ", false},
        {"GET", "/api/readings", {}, true, 200, "application/json", "Cache-Control: no-store", "\"monitor_running\"",
         false},
        {"GET", "/api/history?seconds=60", {{"Host", "box.example"}}, true, 200, "application/json", "",
         "{\"seconds\":60", false},
        {"GET", "/api/history", {}, true, 400, "application/json", "", "seconds", false},
        {"GET", "/api/events?every=5", {}, true, 200, "text/event-stream", "", "retry: 2000", false},
        {"GET", "/api/events?every=0", {}, true, 400, "", "", "every=N", false},
        {"GET", "/strip.js", {}, true, 200, "", "", "", false},
        {"GET", "/nothing", {}, true, 404, "text/plain; charset=utf-8", "", "Not found", false},
        {"POST", "/metrics", {}, true, 405, "", "Allow: GET, HEAD", "", true},
        {"GET", "/metrics", {{"Content-Length", "3"}}, true, 413, "", "", "", true},
        {"GET", "/metrics", {{"Content-Length", "0"}}, true, 200, "", "", "", false},
        {"GET", "/metrics", {{"Transfer-Encoding", "chunked"}}, true, 413, "", "", "", true},
        {"GET", "/metrics", {}, false, 401, "", "WWW-Authenticate: Basic realm=\"vantorix\"", "", false},
        {"GET", "/", {{"Host", "localhost.attacker.example"}}, true, 421, "", "", "--allow-host", false},
        {"GET", "/", {{"Host", "attacker.example:9198"}}, true, 421, "", "", "", false},
        {"GET", "/", {{"Host", "box.example.attacker.example"}}, true, 421, "", "", "", false},
        {"GET", "/", {{"Host", "192.0.2.1.attacker.example"}}, true, 421, "", "", "", false},
        {"GET", "/metrics", {{"Host", "attacker.example"}}, false, 421, "", "", "", false},  // before auth
        {"GET", "/", {{"Host", "LOCALHOST"}}, true, 200, "", "", "", false},
        {"GET", "/", {{"Host", "192.0.2.1:80"}}, true, 200, "", "", "", false},
    };
    for (const auto& row : rows) {
        const std::string what = std::string(row.method) + " " + row.target + " " +
                                 (row.headers.count("Host") ? row.headers.at("Host") : "(no Host)");
        HttpRequest request;
        request.method = row.method;
        request.target = row.target;
        const auto headers = row.headers;
        request.header = [headers](const char* name) {
            const auto found = headers.find(name);
            return found == headers.end() ? std::string() : found->second;
        };
        const HttpResponse response = Route(site, request, row.authorized);
        EXPECT_EQ(row.status, response.status) << what;
        if (!row.type.empty()) {
            EXPECT_EQ(row.type, response.type) << what;
        }
        if (!row.header.empty()) {
            const std::size_t colon = row.header.find(": ");
            EXPECT_EQ(row.header.substr(colon + 2), HeaderOf(response, row.header.substr(0, colon))) << what;
        }
        const std::string body = response.file ? *response.file : response.text;
        if (!row.body.empty()) {
            EXPECT_NE(std::string::npos, body.find(row.body)) << what << ": " << body;
        }
        EXPECT_EQ(row.close, response.close) << what;
        EXPECT_EQ("default-src 'self'; frame-ancestors 'none'", HeaderOf(response, "Content-Security-Policy")) << what;
        EXPECT_EQ("nosniff", HeaderOf(response, "X-Content-Type-Options")) << what;
    }
}
