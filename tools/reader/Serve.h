// vantorix-info --serve: the readings over HTTP, for browsers and Prometheus.
#ifndef VANTORIX_READER_SERVE_H
#define VANTORIX_READER_SERVE_H

#include <atomic>

#include "CommandLine.h"

// Serves options.serve_host:serve_port until `*signal` is set. Returns the
// exit status: 0 when stopped, 2 when the address cannot be served (or,
// where the build has no HTTP server, 3).
int Serve(const Options& options, const std::atomic<int>* signal);

#endif  // VANTORIX_READER_SERVE_H
