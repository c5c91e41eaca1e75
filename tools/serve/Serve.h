// vantorix-info --serve: the readings over HTTP, for browsers and Prometheus.
#ifndef VANTORIX_SERVE_SERVE_H
#define VANTORIX_SERVE_SERVE_H

#include <atomic>
#include <functional>

#include "Options.h"
#include "Reading.h"

// Serves options.serve_host:serve_port until a stop signal (StopSignals:
// SIGINT, SIGTERM, SIGHUP), which it stores in `*signal` (or until `*signal` is set), then saves the history; with TLS and basic auth
// from options.web_config when given. Returns the exit status:
// EXIT_OK (0) when stopped; EXIT_CANNOT_SERVE (2) when the address cannot be
// served (in use, not this machine's, not allowed); EXIT_USAGE (3) for a
// --web-config file that cannot be used, and for any --web-config where the
// build has no TLS and basic auth (Windows). `each_read`, when given, is
// handed each reading on the reading thread once the address is served
// (--mqtt), and must not wait.
int Serve(const Options& options, std::atomic<int>* signal,
          std::function<void(const Reading& reading)> each_read = nullptr);

#endif  // VANTORIX_SERVE_SERVE_H
