// What vantorix-info was asked to do, and the statuses it exits with: shared
// by the command-line reader and the server it starts.
#ifndef VANTORIX_READING_OPTIONS_H
#define VANTORIX_READING_OPTIONS_H

#include <string>
#include <vector>

// Textfile: a read every interval for --textfile and --mqtt, without --serve.
enum class Mode { Table, Json, Jsonl, Prometheus, Watch, Serve, Textfile };

struct Options {
    Mode mode = Mode::Table;
    long count = -1;          // reads to make; -1: the mode's default
    double interval = 1.0;    // seconds between reads
    double unchanged_after = 0;  // seconds of an unchanged record before it is noted; 0: never
    double timeout = 3.0;     // seconds a read may wait for the monitor's mutex
    std::string serve_host = "127.0.0.1";  // --serve: the address to listen on
    int serve_port = 0;                     // --serve: the port; 0 lets the system pick one
    std::vector<std::string> allowed_hosts;  // --serve: Host names answered besides the loopback ones
    std::string web_config;                 // --serve: TLS and basic auth from this file; empty: neither
    bool history_file_given = false;        // --serve: --history-file was given
    std::string history_file;               // --serve: where the history is kept; empty: nowhere
    std::string textfile;                   // --textfile: the metrics page written here after each read
    std::string mqtt;                       // --mqtt: the broker's URL; empty: none
    std::string mqtt_prefix = "homeassistant";  // --mqtt-prefix: Home Assistant's discovery prefix
    std::string mqtt_password_file;         // --mqtt-password-file: the user and the password
    std::string mqtt_ca_file;               // --mqtt-ca-file: the authorities mqtts:// trusts
};

enum ExitCode {
    EXIT_OK = 0,
    EXIT_NOT_RUNNING = 1,
    EXIT_READ_FAILED = 2,
    EXIT_CANNOT_SERVE = 2,  // --serve: the address cannot be served (the status of a failed read)
    EXIT_USAGE = 3,
    EXIT_NOT_RESPONDING = 4,
    EXIT_MONITOR_STOPPED = 5,  // the record was read, but no monitor holds its region any more
};

#endif  // VANTORIX_READING_OPTIONS_H
