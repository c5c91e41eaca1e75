// What the transport hands the server and takes back: a request's method,
// target and headers, and the response to send. The session sees the
// server's answers through a RequestHandler alone, and knows nothing of who
// may be answered (the handler's authentication) or of what.
#ifndef VANTORIX_SERVE_HTTP_MESSAGES_H
#define VANTORIX_SERVE_HTTP_MESSAGES_H

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "SharedText.h"

struct HttpRequest {
    std::string method;  // as sent: "GET"
    std::string target;  // "/metrics?x=1"
    // The value of a header (name in any case), or "" when it is absent.
    std::function<std::string(const char* name)> header;
    std::string client;  // the group its connection is counted in (ClientOf)
};

struct HttpResponse {
    int status = 200;
    std::string type;  // Content-Type; none when empty
    std::string text;  // the body, or its beginning
    TextPieces shared_text;  // the rest of the body: texts others keep too, never copied
    std::shared_ptr<const std::string> file;  // instead of `text`: one of the page's files, never copied
    std::vector<std::pair<std::string, std::string>> headers;  // besides those every response has
    bool close = false;  // end the connection after this response
    // One that holds much until sent (HeavyResponses.h): beyond the few that
    // may be in flight, the request is refused instead (503).
    bool heavy = false;
    int events_every = 0;  // > 0: the body begins an event stream of one reading per this many reads
};

// Takes the response to a request, once; on the serving thread.
using Respond = std::function<void(HttpResponse response)>;

struct RequestHandler {
    // Answers `request` through `respond`, at once or later (a password
    // check). The request stays valid until then.
    std::function<void(const HttpRequest& request, Respond respond)> answer;
    // The response to a head that broke a limit or was malformed: 400, 431
    // (head too large), or that must come back later: 429 (too many password
    // checks wait for its address), after which the connection ends; or 503
    // (too many heavy responses in flight), after which it stays.
    std::function<HttpResponse(int status)> refuse;
};

#endif  // VANTORIX_SERVE_HTTP_MESSAGES_H
