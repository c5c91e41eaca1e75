// vantorix-info --serve: a small HTTP server (cpp-httplib) over the latest
// reading. Every response is rendered from CLatestReading, so no request
// reads the monitor itself or waits for it.
#include "Serve.h"

#include <httplib.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <thread>

#include "LatestReading.h"
#include "Outputs.h"
#include "PageFiles.h"
#include "Text.h"

namespace {

const char METRICS_TYPE[] = "text/plain; version=0.0.4; charset=utf-8";

// The metrics page, with the server's own count of the reads it made.
std::string Metrics(const Reading& reading, std::uint64_t reads) {
    return RenderPrometheus(reading) +
           "# HELP vantorix_reads_total Reads of the monitor's record made by this server, however many clients "
           "asked.\n# TYPE vantorix_reads_total counter\nvantorix_reads_total " +
           std::to_string(reads) + "\n";
}

// "127.0.0.1:9100", "[::1]:9100".
std::string HostPort(const std::string& host, int port) {
    return (host.find(':') != std::string::npos ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

// SO_REUSEADDR alone, so that a restarted server has its port back at once;
// not the library's default SO_REUSEPORT, which would let a second server
// share the port unnoticed.
void ReuseAddress(socket_t socket) {
    int yes = 1;
    setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes));
}

// `text` with every `from` replaced by `to`.
std::string Replaced(std::string text, const std::string& from, const std::string& to) {
    for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
    return text;
}

void NoStore(httplib::Response* response) {
    response->set_header("Cache-Control", "no-store");
}

}  // namespace

int Serve(const Options& options, const std::atomic<int>* signal) {
    std::signal(SIGPIPE, SIG_IGN);  // a client that leaves mid-response only ends its own connection
    CLatestReading latest(options, signal);

    httplib::Server server;
    server.set_socket_options(ReuseAddress);
    // Stopping waits for open connections: short timeouts keep Ctrl-C prompt
    // with a browser's idle connection or a client that stopped mid-request.
    server.set_keep_alive_timeout(1);
    server.set_read_timeout(2);
    server.set_write_timeout(2);
    // The page runs only its own files: no inline or foreign script.
    server.set_default_headers({{"X-Content-Type-Options", "nosniff"},
                                {"Content-Security-Policy", "default-src 'self'; style-src 'self' 'unsafe-inline'"}});
    server.Get("/metrics", [&](const httplib::Request&, httplib::Response& response) {
        std::uint64_t reads = 0;
        const Reading reading = latest.Get(&reads);
        NoStore(&response);
        response.set_content(Metrics(reading, reads), METRICS_TYPE);
    });
    server.Get("/api/readings", [&](const httplib::Request&, httplib::Response& response) {
        std::uint64_t reads = 0;
        NoStore(&response);
        response.set_content(RenderJson(latest.Get(&reads)), "application/json");
    });
    server.Get("/api/history", [&](const httplib::Request& request, httplib::Response& response) {
        const std::size_t query = request.target.find('?');
        const HistoryAnswer answer = latest.History(query == std::string::npos ? "" : request.target.substr(query + 1));
        NoStore(&response);
        response.status = answer.status;
        response.set_content(answer.body, "application/json");
    });
    // The page polls once per interval, which it finds in itself.
    const std::string interval = Number("%g", options.interval);
    for (const PageFile* file = PAGE_FILES; file->path; ++file) {
        const std::string content =
            Replaced(std::string(reinterpret_cast<const char*>(file->data), file->size), "@INTERVAL@", interval);
        const std::string type = file->type;
        server.Get(Replaced(file->path, ".", "\\."),  // the library takes a regular expression
                   [content, type](const httplib::Request&, httplib::Response& response) {
                       response.set_content(content, type.c_str());
                   });
    }

    int port = options.serve_port;
    const bool bound = port == 0 ? (port = server.bind_to_any_port(options.serve_host)) > 0
                                 : server.bind_to_port(options.serve_host, port);
    const std::string where = HostPort(options.serve_host, bound ? port : options.serve_port);
    if (!bound) {
        std::fprintf(stderr,
                     "vantorix-info: cannot serve %s: the port is in use, or the address is not one of this "
                     "machine's, or it is not allowed\n",
                     where.c_str());
        return EXIT_READ_FAILED;
    }
    std::atomic<bool> ended(false);
    std::thread listener([&] {
        server.listen_after_bind();
        ended = true;
    });
    std::printf("vantorix-info: serving http://%s/ (metrics at /metrics; Ctrl-C to stop)\n", where.c_str());
    std::fflush(stdout);
    while (!*signal && !ended) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    server.stop();
    listener.join();
    if (*signal) return EXIT_OK;
    std::fputs("vantorix-info: the server stopped accepting connections\n", stderr);
    return EXIT_READ_FAILED;
}
