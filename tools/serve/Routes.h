// What --serve answers, apart from how the bytes travel: one function from a
// request's method, target and headers to a response. Adding an endpoint is
// one entry in the table in Routes.cpp.
#ifndef VANTORIX_SERVE_ROUTES_H
#define VANTORIX_SERVE_ROUTES_H

#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "Options.h"
#include "http/Messages.h"

class CLatestReading;

// Who may be answered, and what every answer carries.
struct Site {
    CLatestReading* latest = nullptr;
    // Host names answered besides loopback names and IP literals: this
    // machine's name and --allow-host's, in any case.
    std::vector<std::string> allowed_hosts;
    // The live page's files, as served (MakeSite fills them).
    std::vector<std::pair<std::string, HttpResponse>> files;
    // /api/history responses not yet sent or dropped, in all and per client
    // (counted on the one serving thread).
    struct HistorySending {
        int all = 0;
        std::map<std::string, int> by_client;
    };
    std::shared_ptr<HistorySending> history_sending = std::make_shared<HistorySending>();
};

// A site over `latest`, with the page's files made ready once.
Site MakeSite(const Options& options, CLatestReading* latest);

// `authorized`: the request passed authentication, or none is asked for.
HttpResponse Route(const Site& site, const HttpRequest& request, bool authorized);

// The response to a request whose head broke a limit or was malformed:
// 400, 431 (head too large), or that must come back later: 429 (too many
// password checks wait for its address); closes the connection
// (RequestHandler::refuse).
HttpResponse Refusal(int status);

#endif  // VANTORIX_SERVE_ROUTES_H
