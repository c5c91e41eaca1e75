// What --serve takes from a --web-config file: the TLS context and the
// users to check, made once before serving. web_config_linux.cpp makes
// them; web_config_win32.cpp refuses the file, where the build has no TLS and
// no bcrypt.
#ifndef VANTORIX_SERVE_WEB_WEBSERVING_H
#define VANTORIX_SERVE_WEB_WEBSERVING_H

#include <memory>
#include <string>

#include "Authorizer.h"

namespace boost {
namespace asio {
namespace ssl {
class context;
}  // namespace ssl
}  // namespace asio
}  // namespace boost

struct WebServing {
    std::shared_ptr<boost::asio::ssl::context> tls;  // null: plain HTTP
    Authorizer authorize;  // the users' check (BasicAuth.h); empty: no authentication
};

// The file at `path`, read and checked whole. False, with the problem in
// `why`, for a file that cannot be used or a build without TLS and basic auth.
bool LoadWebServing(const std::string& path, WebServing* serving, std::string* why);

#endif  // VANTORIX_SERVE_WEB_WEBSERVING_H
