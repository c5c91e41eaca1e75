// vantorix-info: shows the readings the Vantorix monitor publishes, as a
// table, as JSON, as metrics (also into a file, --textfile), as a live view,
// over HTTP or to an MQTT broker. Uses only the library's public header. It never hangs: a
// read that waits too long for the monitor's mutex is reported, and Ctrl-C or
// SIGTERM ends every mode promptly.
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "Arguments.h"
#include "CommandLine.h"
#include "MqttSetup.h"
#include "Output.h"
#include "Outputs.h"
#include "Reading.h"
#include "Serve.h"
#include "Terminal.h"
#include "Textfile.h"
#include "http/StopSignals.h"

namespace {

// Set by the signal handler, read by every thread: a lock-free atomic, which
// a handler may store to.
std::atomic<int> g_signal(0);
static_assert(std::atomic<int>::is_always_lock_free, "a signal handler needs a lock-free flag");

void OnSignal(int number) {
    g_signal = number;
}

int ExitStatus(const Reading& reading) {
    switch (reading.status) {
    case Reading::Status::Ok:
        return reading.liveness == Liveness::Stopped ? EXIT_MONITOR_STOPPED : EXIT_OK;
    case Reading::Status::NotRunning:
        return EXIT_NOT_RUNNING;
    case Reading::Status::Failed:
        return EXIT_READ_FAILED;
    case Reading::Status::NotResponding:
        return EXIT_NOT_RESPONDING;
    }
    return EXIT_READ_FAILED;
}

void ReportFailure(const Reading& reading, double timeout) {
    switch (reading.status) {
    case Reading::Status::Ok:
        if (reading.liveness == Liveness::Stopped) {
            std::fprintf(stderr, "vantorix-info: %s: %s\n", STOPPED_TEXT, START_MONITOR);
        }
        break;
    case Reading::Status::NotRunning:
        std::fprintf(stderr, "vantorix-info: the Vantorix monitor is not running (%s, error %lu): %s%s\n",
                     reading.message.c_str(), static_cast<unsigned long>(reading.error), START_MONITOR,
                     OtherUsersMonitor().c_str());
        break;
    case Reading::Status::Failed:
        std::fprintf(stderr, "vantorix-info: reading failed: %s (error %lu, 0x%08lX)\n", reading.message.c_str(),
                     static_cast<unsigned long>(reading.error), static_cast<unsigned long>(reading.error));
        break;
    case Reading::Status::NotResponding:
        std::fprintf(stderr, "vantorix-info: %s; gave up after %g s\n", NOT_RESPONDING_TEXT, timeout);
        break;
    }
}

// Sleeps, but not past a signal.
void Sleep(double seconds) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!g_signal && std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

// False when the text could not be written whole.
bool Write(const std::string& text) {
    const bool written = std::fwrite(text.data(), 1, text.size(), stdout) == text.size();
    return std::fflush(stdout) == 0 && written;
}

int Watch(const Options& options) {
    const bool escapes = PrepareTerminal();
    if (escapes) Write("\x1b[?1049h\x1b[?25l");  // alternate screen, hide the cursor
    CMonitorReader reader(options.unchanged_after);
    for (long reads = 0; !g_signal && (options.count < 0 || reads < options.count); ++reads) {
        bool completed = false;
        Reading reading = reader.Read(options.timeout, &g_signal, &completed);
        if (!completed && g_signal) break;
        if (!escapes) ClearPlainly();
        Write(RenderLiveFrame(reading, options.interval, escapes));
        Sleep(options.interval);
    }
    if (escapes) Write("\x1b[?1049l\x1b[?25h");  // give the terminal back as it was
    return EXIT_OK;
}

// The table, JSON, the JSON log and the metrics: `count` reads an interval
// apart. The metrics page reports a failed read itself (vantorix_up 0), so it
// exits 0 whenever the page was written whole: a textfile collector's
// `... > file.$$ && mv file.$$ file` then replaces a page that said the
// monitor was up.
int Print(const Options& options) {
    const long reads = options.count >= 0 ? options.count : options.mode == Mode::Jsonl ? -1 : 1;
    CMonitorReader reader(options.unchanged_after);
    Reading reading;
    for (long i = 0; reads < 0 || i < reads; ++i) {
        if (i > 0) Sleep(options.interval);
        bool completed = false;
        if (!g_signal) reading = reader.Read(options.timeout, &g_signal, &completed);
        if (!completed && g_signal) {
            // Stopped: the log ends as asked, anything else was cut short.
            return options.mode == Mode::Jsonl ? EXIT_OK : 128 + g_signal.load();
        }
        if (options.mode == Mode::Jsonl) reading.timestamp = Timestamp();
        // The table says itself that the monitor stopped.
        const bool ok = reading.status == Reading::Status::Ok;
        if (options.mode != Mode::Prometheus && (!ok || options.mode != Mode::Table)) {
            ReportFailure(reading, options.timeout);
        }
        if (options.mode == Mode::Json || options.mode == Mode::Jsonl) {
            Write(RenderJson(reading));
        } else if (options.mode == Mode::Table && reading.status == Reading::Status::Ok) {
            Write(RenderTable(reading, false, "\n"));
        }
    }
    if (options.mode == Mode::Prometheus) {
        if (Write(RenderPrometheus(reading))) return EXIT_OK;
        std::fprintf(stderr, "vantorix-info: cannot write the metrics: %s\n", std::strerror(errno));
        return EXIT_READ_FAILED;
    }
    return ExitStatus(reading);
}

// --textfile and --mqtt without --serve: a read every interval, each page
// written to the file and each reading handed to the broker's client, until
// stopped (0) or `count` reads: then 0 when the last page was written, 2
// when it was not. A failed read is in the page (vantorix_up 0) and makes
// the sensors unavailable.
int ReadEveryInterval(const Options& options, CMqttClient* mqtt) {
    if (!options.textfile.empty()) {
        std::printf("vantorix-info: writing the metrics to %s after each read, every %g s (Ctrl-C to stop)\n",
                    options.textfile.c_str(), options.interval);
    }
    std::fflush(stdout);
    CMonitorReader reader(options.unchanged_after);
    CTextfile textfile(options.textfile);
    bool written = options.textfile.empty();
    for (long reads = 0; !g_signal && (options.count < 0 || reads < options.count); ++reads) {
        if (reads > 0) Sleep(options.interval);
        bool completed = false;
        Reading reading = reader.Read(options.timeout, &g_signal, &completed);
        if (g_signal) break;
        if (!options.textfile.empty()) written = textfile.Write(RenderPrometheus(reading));
        if (mqtt) mqtt->Publish(reading);
    }
    return g_signal || written ? EXIT_OK : EXIT_READ_FAILED;
}

// The broker's client for --mqtt, connecting in the background; null
// without --mqtt, and with `*status` set when it cannot be used.
std::unique_ptr<CMqttClient> Mqtt(const Options& options, int* status) {
    if (options.mqtt.empty()) return nullptr;
    std::string why;
    std::unique_ptr<CMqttClient> client = StartMqtt(options, VANTORIX_VERSION, &why);
    if (!client) {
        std::fprintf(stderr, "vantorix-info: --mqtt: %s\n", why.c_str());
        *status = EXIT_USAGE;
        return nullptr;
    }
    std::printf("vantorix-info: publishing the readings to %s after each read, Home Assistant's discovery under "
                "%s/\n",
                options.mqtt.c_str(), options.mqtt_prefix.c_str());
    std::fflush(stdout);
    return client;
}

int Run(int argc, char** argv) {
    Options options;
    const int status = ParseCommandLine(argc, argv, &options);
    if (status >= 0) return status;
    std::string why;
    if (!options.textfile.empty() && !PrepareTextfile(options.textfile, &why)) {
        std::fprintf(stderr, "vantorix-info: --textfile %s: %s\n", options.textfile.c_str(), why.c_str());
        return EXIT_USAGE;
    }
    int refused = -1;
    switch (options.mode) {
    case Mode::Watch:
        return Watch(options);
    case Mode::Serve: {
        for (const int number : StopSignals()) std::signal(number, OnSignal);  // SIGHUP too: the history is saved
        const std::unique_ptr<CMqttClient> mqtt = Mqtt(options, &refused);
        if (refused >= 0) return refused;
        CMqttClient* client = mqtt.get();
        return Serve(options, &g_signal,
                     client ? [client](const Reading& reading) { client->Publish(reading); }
                            : std::function<void(const Reading&)>());
    }
    case Mode::Textfile: {
        const std::unique_ptr<CMqttClient> mqtt = Mqtt(options, &refused);
        if (refused >= 0) return refused;
        return ReadEveryInterval(options, mqtt.get());
    }
    default:
        return Print(options);
    }
}

}  // namespace

int main(int argc, char** argv) {
    // First of all: a signal that came while anything below ran would
    // otherwise end the program by its default, without the exit it promises.
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
    Utf8Arguments(&argc, &argv);
    int status = StartOutput(argc, argv);
    if (status < 0) status = Run(argc, argv);
    EndOutput(status);
    return status;
}
