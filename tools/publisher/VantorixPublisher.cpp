// vantorix-publisher: this machine's processor readings, published for
// GetVantorixInfo readers as the Vantorix monitor publishes them on Windows.
// Linux only; one per user, normally started at login by its systemd user
// unit.
#include <cstdio>
#include <string>

#include <CLI/CLI.hpp>

#include "LiveSource.h"
#include "Numbers.h"
#include "ObjectNames.h"
#include "PublishLoop.h"

namespace {

const char NAME[] = "vantorix-publisher";

enum ExitCode { EXIT_STOPPED = 0, EXIT_CANNOT_PUBLISH = 1, EXIT_USAGE = 2 };

const char DESCRIPTION[] =
    "Publishes this machine's processor readings for programs that read them with\n"
    "GetVantorixInfo (vantorix-info, the library, its Python package): per-core\n"
    "load and temperature, TjMax, the processor's clock, name and counts. It\n"
    "republishes at the set rate until SIGINT or SIGTERM, then withdraws its\n"
    "readings. Only programs of the same user see them.";

const char FOOTER[] =
    "Sources: load from /proc/stat over each interval; temperatures and TjMax from\n"
    "hwmon (coretemp per core, its crit as TjMax; k10temp or zenpower one value for\n"
    "all cores), else from the processor's thermal zone (its critical trip point as\n"
    "TjMax); the clock is the highest current clock of the CPUs (cpufreq, else\n"
    "/proc/cpuinfo); one core per online CPU. Readings the machine lacks are named\n"
    "at start and published as 0, and so is a reading whose file is not a regular\n"
    "file, is too long, or holds anything but a number in a plausible range.\n"
    "\n"
    "Exit status:\n"
    "  0  stopped by SIGINT or SIGTERM, readings withdrawn (a signal before it\n"
    "     publishes ends it as usual: 128+N)\n"
    "  1  cannot publish: another publisher or monitor of this user runs, objects\n"
    "     under the monitor's names belong to someone else, or no /proc/stat; or,\n"
    "     at a stop, another process kept the mutex for 5 s (the region is left)\n"
    "  2  bad command line";

// A number from `low` to `high`, and nothing else ("5x" and "" are refused;
// white space before it is skipped).
CLI::Validator NumberFrom(double low, double high) {
    char bounds[64];
    std::snprintf(bounds, sizeof(bounds), "%g to %g", low, high);
    const std::string range = bounds;
    return CLI::Validator(
        [low, high, range](std::string& text) -> std::string {
            double value = 0;
            if (!ParseReal(SkipSpace(text), low, high, &value)) {
                return "'" + text + "' is not a number from " + range;
            }
            return std::string();
        },
        "");
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app(DESCRIPTION, NAME);
    app.footer(FOOTER);
    app.set_version_flag("--version", std::string(NAME) + " " VANTORIX_VERSION);
    double rate = 1;
    std::string root;
    app.add_option("--rate", rate, "republish HZ times a second, 0.01 to 100 (default 1)")
        ->type_name("HZ")
        ->check(NumberFrom(0.01, 100));
    app.add_option("--root", root,
                   "read /proc and /sys under DIR instead of / (a captured tree, for testing)")
        ->type_name("DIR")
        ->check(CLI::Validator(CLI::ExistingDirectory).description(""));
    try {
        app.parse(argc, argv);
    } catch (const CLI::Success& done) {
        return app.exit(done);  // --help or --version
    } catch (const CLI::ParseError& error) {
        std::fprintf(stderr, "%s: %s\nTry '%s --help'.\n", NAME, error.what(), NAME);
        return EXIT_USAGE;
    }

    // Until there is something to withdraw, a stop signal ends the program
    // as it would any other, wherever the start-up is (a slow or hostile tree).
    CLiveSource live(root);
    vantorix_shared_data record;
    if (!StartLiveSource(NAME, &live, &record)) return EXIT_CANNOT_PUBLISH;
    CatchStopSignals();
    CPublisher publisher;
    if (!StartPublishing(NAME, &publisher, sizeof(record), record)) return EXIT_CANNOT_PUBLISH;
    std::printf("%s: publishing %d cores at %g Hz in %s, for this user only\n", NAME,
                static_cast<int>(record.core_total), rate, NamedObjectPath(VANTORIX_MAPPING_NAME).c_str());
    std::fflush(stdout);

    LoopOptions loop;
    loop.rate = rate;
    RunPublishLoop(&publisher, loop, [&live](vantorix_shared_data* next) { live.Sample(next); });
    if (!publisher.Remove()) {
        std::fprintf(stderr, "%s: the monitor's mutex stays held by another process: the region is left for the "
                             "next monitor to replace\n", NAME);
        return EXIT_CANNOT_PUBLISH;
    }
    return EXIT_STOPPED;
}
