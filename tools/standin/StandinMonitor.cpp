// vantorix-standin: a stand-in for the Vantorix monitor, for development and
// tests. It creates the monitor's named mutex and region and publishes
// records under the mutex, once or at a rate, until it is stopped.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "Arguments.h"
#include "BoundedFile.h"
#include "LiveSource.h"
#include "Pattern.h"
#include "PublishLoop.h"

namespace {

const char USAGE[] =
    "usage: vantorix-standin [options]\n"
    "Publishes a record as the Vantorix monitor would, then keeps the objects\n"
    "alive until stopped (Ctrl-C or SIGTERM), when it withdraws the region.\n"
    "  --generation G     publish the synthetic pattern of generation G (default 1)\n"
    "  --record FILE      publish the 2688-byte record stored in FILE instead\n"
    "  --synthetic        publish plausible readings of a four-core processor that\n"
    "                     drift at each republish, for demonstrations: once a\n"
    "                     second unless --rate says otherwise\n"
    "  --cores N          the synthetic processor's cores, 1 to 256 (default 4)\n"
    "  --live             publish this machine's own readings from /proc and sysfs\n"
    "                     (Linux), once a second unless --rate says otherwise\n"
    "  --rate HZ          republish the pattern HZ times a second, generation + 1\n"
    "                     each time; 0 republishes as fast as it can\n"
    "  --seconds S        stop after S seconds\n"
    "  --size BYTES       create a region of BYTES bytes (default 2688)\n"
    "  --hold             after publishing, take the mutex and keep it until killed\n"
    "  --hold-and-exit    after publishing, take the mutex; when stopped, exit without\n"
    "                     releasing it (the owner dies holding it)\n"
    "  --stop-file PATH   stop cleanly, like on SIGTERM, once PATH exists\n"
    "  --remove           delete this user's objects, the mutex file too, and exit\n"
    "                     (Linux; only while no monitor or reader runs)\n"
    "It prints \"ready\" once the first record is published, and \"holding\" once it\n"
    "holds the mutex (--hold, --hold-and-exit). It refuses to start while another\n"
    "monitor of this user publishes, and never uses or removes objects that someone\n"
    "else put under the monitor's names.\n";

struct Options {
    std::uint32_t generation = 1;
    const char* record_file = nullptr;
    bool live = false;
    bool synthetic = false;
    int cores = 4;
    double rate = -1;  // negative: publish once
    double seconds = -1;  // negative: until stopped
    std::size_t size = sizeof(vantorix_shared_data);
    bool hold = false;
    bool hold_and_exit = false;
    bool remove = false;
    const char* stop_file = nullptr;
};

bool ParseOptions(int argc, char** argv, Options* options) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool has_value = i + 1 < argc;
        if (arg == "--generation" && has_value) {
            options->generation = static_cast<std::uint32_t>(std::strtoul(argv[++i], nullptr, 0));
        } else if (arg == "--record" && has_value) {
            options->record_file = argv[++i];
        } else if (arg == "--synthetic") {
            options->synthetic = true;
        } else if (arg == "--cores" && has_value) {
            options->cores = std::atoi(argv[++i]);
        } else if (arg == "--live") {
            options->live = true;
        } else if (arg == "--rate" && has_value) {
            options->rate = std::atof(argv[++i]);
        } else if (arg == "--seconds" && has_value) {
            options->seconds = std::atof(argv[++i]);
        } else if (arg == "--size" && has_value) {
            options->size = static_cast<std::size_t>(std::strtoul(argv[++i], nullptr, 0));
        } else if (arg == "--hold") {
            options->hold = true;
        } else if (arg == "--hold-and-exit") {
            options->hold_and_exit = true;
        } else if (arg == "--stop-file" && has_value) {
            options->stop_file = argv[++i];
        } else if (arg == "--remove") {
            options->remove = true;
        } else if (arg == "--help") {
            std::fputs(USAGE, stdout);
            std::exit(0);
        } else {
            return false;
        }
    }
    return options->size > 0 && options->cores >= 1 && options->cores <= 256;
}

bool LoadRecord(const char* path, vantorix_shared_data* record) {
    FileRules rules;
    rules.limit = sizeof(*record);
    std::string bytes, why;
    if (!ReadBoundedFile(path, "the record", rules, &bytes, &why) || bytes.size() != sizeof(*record)) return false;
    std::memcpy(record, bytes.data(), sizeof(*record));
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    Utf8Arguments(&argc, &argv);
    Options options;
    if (!ParseOptions(argc, argv, &options)) {
        std::fputs(USAGE, stderr);
        return 2;
    }
    if (options.remove) {
        RemoveNamedObjects();
        return 0;
    }

    // Before the live source's start, which reads a tree: a stop signal
    // from here on waits for the loop, which withdraws what was published.
    CatchStopSignals();
    vantorix_shared_data record;
    CLiveSource live("");
    if (options.live) {
        if (!StartLiveSource("vantorix-standin", &live, &record)) return 1;
        if (options.rate < 0) options.rate = 1;
    } else if (options.synthetic) {
        FillSynthetic(options.generation, &record, options.cores);
        if (options.rate < 0) options.rate = 1;  // readings that never change would look like a hung monitor
    } else if (options.record_file != nullptr) {
        if (!LoadRecord(options.record_file, &record)) {
            std::fprintf(stderr, "vantorix-standin: cannot read a %u-byte record from %s\n",
                         static_cast<unsigned>(sizeof(record)), options.record_file);
            return 1;
        }
    } else {
        FillPattern(options.generation, &record);
    }

    CPublisher publisher;
    if (!StartPublishing("vantorix-standin", &publisher, options.size, record)) return 1;
    std::puts("ready");
    std::fflush(stdout);

    const bool hold = options.hold || options.hold_and_exit;
    if (hold) {
        publisher.Lock();
        std::puts("holding");
        std::fflush(stdout);
    }
    std::uint32_t generation = options.generation;
    NextRecord next;
    if (hold || options.record_file != nullptr) {
        // Holding the mutex, or a fixed record: nothing to republish.
    } else if (options.live) {
        next = [&live](vantorix_shared_data* out) { live.Sample(out); };
    } else if (options.synthetic) {
        next = [&generation, cores = options.cores](vantorix_shared_data* out) {
            FillSynthetic(++generation, out, cores);
        };
    } else {
        next = [&generation](vantorix_shared_data* out) { FillPattern(++generation, out); };
    }
    LoopOptions loop;
    loop.rate = options.rate;
    loop.seconds = options.seconds;
    if (options.stop_file != nullptr) loop.stop_file = options.stop_file;
    RunPublishLoop(&publisher, loop, next);

    if (options.hold_and_exit) {
        std::_Exit(0);  // no release, no cleanup: the owner just dies
    }
    if (options.hold) {
        publisher.Unlock();
    }
    publisher.Remove();
    return 0;
}
