#include "CommandLine.h"

#include <CLI/CLI.hpp>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "Numbers.h"

namespace {

const char DESCRIPTION[] = "Reads the processor readings that the Vantorix monitor publishes.\n"
                           "With no mode, prints them once as a table.";

const char FOOTER[] =
    "Exit status:\n"
    "  0  the readings were read (or --watch, --jsonl, --serve, --textfile or --mqtt was stopped with Ctrl-C or\n"
    "     SIGTERM); --prometheus, --textfile: a complete page was written, also one that says vantorix_up 0\n"
    "  1  the Vantorix monitor is not running\n"
    "  2  the read failed for another reason (the message says which); --prometheus, --textfile with\n"
    "     --count: the (last) page could not be written; --serve: the address could not be served\n"
    "  3  bad command line, a --web-config file, an --mqtt URL or its credentials that cannot be used,\n"
    "     or a --textfile whose folder does not exist\n"
    "  4  the monitor is not responding: it holds its mutex longer than --timeout\n"
    "  5  the monitor stopped; its last record is left (the readings are shown; Linux)\n"
    "  128+N  stopped by signal N (Ctrl-C: 130) before the reads were done\n";

// A number of seconds, written out whole, finite and within [min, 1e6]
// (above `min` when `inclusive` is false).
CLI::Validator Seconds(double min, bool inclusive) {
    const std::string range = std::string(inclusive ? "at least " : "more than ") + (min == 0 ? "0" : "1");
    return CLI::Validator(
        [=](std::string& text) -> std::string {
            double value = 0;
            if (!ParseReal(text, min, 1e6, &value) || (!inclusive && value == min)) {
                return "'" + text + "' is not a number of seconds " + range + " and at most 1000000";
            }
            return "";
        },
        "");
}

// A whole number of reads, at least 1.
CLI::Validator Count() {
    return CLI::Validator(
        [](std::string& text) -> std::string {
            long long value = 0;
            if (!ParseWhole(text, 1, 1000000000, Sign::Refused, &value)) {
                return "'" + text + "' is not a whole number of reads from 1 to 1000000000";
            }
            return "";
        },
        "");
}

// "[ADDR:]PORT": a port from 0 to 65535, after an address if one is given
// (an IPv6 address in brackets). Fills what it finds.
bool SplitListenAddress(const std::string& text, std::string* host, int* port) {
    std::string port_text = text;
    const std::size_t colon = text.rfind(':');
    if (colon != std::string::npos) {
        std::string address = text.substr(0, colon);
        port_text = text.substr(colon + 1);
        if (address.size() > 2 && address.front() == '[' && address.back() == ']') {
            address = address.substr(1, address.size() - 2);
        } else if (address.find_first_of(":[]") != std::string::npos) {
            return false;
        }
        if (address.empty()) return false;
        *host = address;
    }
    long long number = 0;
    if (port_text.size() > 5 || !ParseWhole(port_text, 0, 65535, Sign::Refused, &number)) return false;
    *port = static_cast<int>(number);
    return true;
}

CLI::Validator ListenAddress() {
    return CLI::Validator(
        [](std::string& text) -> std::string {
            std::string host;
            int port = 0;
            if (!SplitListenAddress(text, &host, &port)) {
                return "'" + text + "' is not [ADDR:]PORT: a port from 0 to 65535, after an address if one is "
                       "given (IPv6 in brackets: [::1]:9100)";
            }
            return "";
        },
        "");
}

}  // namespace

int ParseCommandLine(int argc, char** argv, Options* options) {
    CLI::App app(DESCRIPTION, "vantorix-info");
    app.footer(FOOTER);
    app.set_version_flag("--version", "vantorix-info " VANTORIX_VERSION);
    app.get_formatter()->column_width(26);

    bool json = false, jsonl = false, prometheus = false;
    std::vector<std::string> watch;
    std::string serve;
    app.add_flag("--json", json, "print one JSON object per read (docs/vantorix-info.md lists its fields)");
    app.add_flag(
        "--jsonl", jsonl, "log: one JSON object per line with a \"timestamp\", every interval until Ctrl-C (or --count reads)");
    app.add_flag(
        "--prometheus", prometheus, "print the last of --count reads in Prometheus' text format, for node_exporter's textfile collector");
    CLI::Option* watch_option =
        app.add_option("--watch", watch,
                       "refresh a live view every SECONDS (without a value: every --interval, default 1 s) until "
                       "Ctrl-C; keeps trying while the monitor is not running")
            ->expected(0, 1)
            ->type_name("[SECONDS]")
            ->check(Seconds(0, false));

    CLI::Option* serve_option =
        app.add_option("--serve", serve,
                       "serve the readings over HTTP until Ctrl-C: a live page at /, the metrics at /metrics, the "
                       "JSON object at /api/readings, the last 24 hours at /api/history?seconds=N; one read every "
                       "--interval however many clients ask. The "
                       "address is 127.0.0.1 unless given (anyone who can reach another address can read the "
                       "readings); port 0 lets the system pick one")
            ->type_name("[ADDR:]PORT")
            ->check(ListenAddress());

    CLI::Option* allow_host_option =
        app.add_option("--allow-host", options->allowed_hosts,
                       "with --serve: also answer requests for NAME, as a reverse proxy in front sends it "
                       "(repeatable); otherwise it answers only those for localhost, an IP address or this "
                       "machine's own name, on every address (a foreign name that resolves here is a "
                       "rebinding attack)")
            ->type_name("NAME")
            ->allow_extra_args(false);

    CLI::Option* web_config_option =
        app.add_option("--web-config", options->web_config,
                       "with --serve: TLS and basic auth from FILE, in the web configuration format of Prometheus' "
                       "exporters (tls_server_config, basic_auth_users; Linux build only)")
            ->type_name("FILE");

    CLI::Option* history_file_option =
        app.add_option("--history-file", options->history_file,
                       "with --serve: keep the history in FILE, so that a restarted server shows it at once; it is "
                       "written once a minute and when the server stops (default: $STATE_DIRECTORY/history, else "
                       "$XDG_STATE_HOME/getvantorixinfo/history or ~/.local/state/getvantorixinfo/history; on "
                       "Windows %LOCALAPPDATA%\\GetVantorixInfo\\history; '' for none)")
            ->type_name("FILE");

    CLI::Option* textfile_option =
        app.add_option("--textfile", options->textfile,
                       "after each read, write the metrics page to PATH for a textfile collector (node_exporter's, "
                       "windows_exporter's): each time whole (a file beside it, then renamed over it), with LF line "
                       "ends. Beside --serve (one process serves and writes), or alone: a read every --interval "
                       "until Ctrl-C (or --count reads). Its folder must exist (exit status 3 at start); a "
                       "failed write is reported once and tried again at the next read")
            ->type_name("PATH");

    CLI::Option* mqtt_option =
        app.add_option("--mqtt", options->mqtt,
                       "after each read, publish the readings to the MQTT broker at URL (mqtt://HOST[:1883], or "
                       "mqtts://HOST[:8883] on Linux), with Home Assistant's discovery "
                       "(docs/home-assistant.md). Beside --serve or --textfile, or alone: a read every --interval "
                       "until Ctrl-C (or --count reads). The user and password come from --mqtt-password-file or "
                       "VANTORIX_MQTT_USER and VANTORIX_MQTT_PASSWORD")
            ->type_name("URL");
    CLI::Option* mqtt_prefix_option =
        app.add_option("--mqtt-prefix", options->mqtt_prefix,
                       "with --mqtt: Home Assistant's discovery prefix (default homeassistant)")
            ->type_name("PREFIX");
    CLI::Option* mqtt_password_option =
        app.add_option("--mqtt-password-file", options->mqtt_password_file,
                       "with --mqtt: the broker's user on the first line of FILE, the password on the second")
            ->type_name("FILE");
    CLI::Option* mqtt_ca_option =
        app.add_option("--mqtt-ca-file", options->mqtt_ca_file,
                       "with mqtts://: trust the certificate authorities in FILE (PEM) instead of the system's")
            ->type_name("FILE");

    CLI::Option* count_option =
        app.add_option("--count", options->count, "stop after N reads (default 1; --jsonl and --watch: no limit)")
            ->type_name("N")
            ->check(Count());
    app.add_option("--interval", options->interval, "seconds between reads (default 1)")
        ->type_name("SECONDS")
        ->check(Seconds(0, false));
    app.add_option("--unchanged-after", options->unchanged_after,
                   "note when successive reads have returned the very same record for SECONDS or more (default: "
                   "never). An idle machine's record can stay the same; whether the monitor runs is told apart "
                   "by itself (exit status 5)")
        ->type_name("SECONDS")
        ->check(Seconds(0, false));
    app.add_option("--timeout", options->timeout,
                   "give up on a read that waits longer than SECONDS (default 3) for the monitor's mutex")
        ->type_name("SECONDS")
        ->check(Seconds(0, false));

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        std::fputs(app.help().c_str(), stdout);
        return EXIT_OK;
    } catch (const CLI::CallForVersion& version) {
        std::printf("%s\n", version.what());
        return EXIT_OK;
    } catch (const CLI::ParseError& error) {
        std::fprintf(stderr, "vantorix-info: %s\nRun with --help for more information.\n", error.what());
        return EXIT_USAGE;
    }
    if (json + jsonl + prometheus + (watch_option->count() > 0) + (serve_option->count() > 0) > 1) {
        std::fputs("vantorix-info: choose one of --json, --jsonl, --prometheus, --watch and --serve\n"
                   "Run with --help for more information.\n",
                   stderr);
        return EXIT_USAGE;
    }
    if (serve_option->count() > 0 && count_option->count() > 0) {
        std::fputs("vantorix-info: --serve reads until stopped: --count does not go with it\n"
                   "Run with --help for more information.\n",
                   stderr);
        return EXIT_USAGE;
    }
    if (allow_host_option->count() > 0 && serve_option->count() == 0) {
        std::fputs("vantorix-info: --allow-host goes with --serve\nRun with --help for more information.\n", stderr);
        return EXIT_USAGE;
    }
    if (web_config_option->count() > 0 && serve_option->count() == 0) {
        std::fputs("vantorix-info: --web-config goes with --serve\n"
                   "Run with --help for more information.\n",
                   stderr);
        return EXIT_USAGE;
    }
    if (history_file_option->count() > 0 && serve_option->count() == 0) {
        std::fputs("vantorix-info: --history-file goes with --serve\n"
                   "Run with --help for more information.\n",
                   stderr);
        return EXIT_USAGE;
    }
    const bool mqtt = mqtt_option->count() > 0;
    if (mqtt && (json || jsonl || prometheus || watch_option->count() > 0)) {
        std::fputs("vantorix-info: --mqtt goes with --serve or --textfile, or alone\n"
                   "Run with --help for more information.\n",
                   stderr);
        return EXIT_USAGE;
    }
    if (!mqtt && mqtt_prefix_option->count() + mqtt_password_option->count() + mqtt_ca_option->count() > 0) {
        std::fputs("vantorix-info: --mqtt-prefix, --mqtt-password-file and --mqtt-ca-file go with --mqtt\n"
                   "Run with --help for more information.\n",
                   stderr);
        return EXIT_USAGE;
    }
    if (mqtt && options->mqtt.empty()) {
        std::fputs("vantorix-info: --mqtt needs a broker's URL\nRun with --help for more information.\n", stderr);
        return EXIT_USAGE;
    }
    if (mqtt && options->mqtt_prefix.empty()) {
        std::fputs("vantorix-info: --mqtt-prefix needs a prefix\nRun with --help for more information.\n", stderr);
        return EXIT_USAGE;
    }
    if (textfile_option->count() > 0 && (json || jsonl || prometheus || watch_option->count() > 0)) {
        std::fputs("vantorix-info: --textfile goes with --serve, or alone\n"
                   "Run with --help for more information.\n",
                   stderr);
        return EXIT_USAGE;
    }
    if (textfile_option->count() > 0 && options->textfile.empty()) {
        std::fputs("vantorix-info: --textfile needs a file\nRun with --help for more information.\n", stderr);
        return EXIT_USAGE;
    }
    options->history_file_given = history_file_option->count() > 0;
    if (textfile_option->count() > 0 || mqtt) options->mode = Mode::Textfile;
    if (json) options->mode = Mode::Json;
    if (jsonl) options->mode = Mode::Jsonl;
    if (prometheus) options->mode = Mode::Prometheus;
    if (watch_option->count() > 0) {
        options->mode = Mode::Watch;
        // `--watch` alone arrives as one empty value: the interval stays as it is.
        if (!watch.empty() && !watch[0].empty()) options->interval = std::strtod(watch[0].c_str(), nullptr);
    }
    if (serve_option->count() > 0) {
        options->mode = Mode::Serve;
        SplitListenAddress(serve, &options->serve_host, &options->serve_port);
    }
    return -1;
}
