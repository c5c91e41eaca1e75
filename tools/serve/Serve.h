// vantorix-info --serve: the readings over HTTP, for browsers and Prometheus.
#ifndef VANTORIX_SERVE_SERVE_H
#define VANTORIX_SERVE_SERVE_H

#include <atomic>

#include "Authorizer.h"
#include "Options.h"

// Serves options.serve_host:serve_port until a stop signal (StopSignals:
// SIGINT, SIGTERM, SIGHUP), which it stores in `*signal` (or until
// `*signal` is set), then saves the history. With `tls`, over TLS
// (where the build has it); with `authorize`, only to requests it accepts
// (others get 401). Returns the exit status: 0 when stopped, 2 when the
// address cannot be served.
int Serve(const Options& options, std::atomic<int>* signal, boost::asio::ssl::context* tls = nullptr,
          Authorizer authorize = Authorizer());

#endif  // VANTORIX_SERVE_SERVE_H
