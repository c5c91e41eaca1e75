// What --serve answers, apart from how the bytes travel: authentication,
// then one function from a request's method, target and headers to a
// response. Adding an endpoint is one entry in the table in Routes.cpp.
#ifndef VANTORIX_SERVE_ROUTES_H
#define VANTORIX_SERVE_ROUTES_H

#include <string>
#include <utility>
#include <vector>

#include "Options.h"
#include "ReadListener.h"
#include "http/Messages.h"
#include "http/PasswordChecks.h"
#include "web/Authorizer.h"


// What is answered, from what, and to whom: the same for every request.
struct Site {
    const CReadingSource* readings = nullptr;
    // Host names answered besides loopback names and IP literals: this
    // machine's name and --allow-host's, in any case.
    std::vector<std::string> allowed_hosts;
    // The live page's files, as served (MakeSite fills them).
    std::vector<std::pair<std::string, HttpResponse>> files;
};

// A site over `readings`, with the page's files made ready once.
Site MakeSite(const Options& options, const CReadingSource* readings);

// `authorized`: the request passed authentication, or none is asked for.
// A pure function of its arguments: it reads the site's readings, and
// changes nothing.
HttpResponse Route(const Site& site, const HttpRequest& request, bool authorized);

// Authentication in front of Route: the server's RequestHandler::answer.
// Credentials known at once are routed at once; others wait for `checks`
// (made when `authorizer` is not empty), and a failed check ends the
// connection, so that each guess costs a new one; a client with too many
// checks waiting is told to come back (429). With no authorizer every
// request is authorized. `site` and `checks` outlive the handler's calls.
std::function<void(const HttpRequest& request, Respond respond)> Authenticated(const Site& site, Authorizer authorizer,
                                                                               CPasswordChecks* checks);

// The response to a request whose head broke a limit or was malformed:
// 400, 431 (head too large), or that must come back later: 429 (too many
// password checks wait for its address), which close the connection; or 503
// (too many history responses in flight), which does not
// (RequestHandler::refuse).
HttpResponse Refusal(int status);

#endif  // VANTORIX_SERVE_ROUTES_H
