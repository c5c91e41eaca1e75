#include <pthread.h>
#include <signal.h>

#include "StopSignals.h"

std::vector<int> StopSignals() {
    return {SIGINT, SIGTERM, SIGHUP};
}

void HoldStopSignals() {
    sigset_t held;
    sigemptyset(&held);
    for (const int number : StopSignals()) sigaddset(&held, number);
    pthread_sigmask(SIG_BLOCK, &held, nullptr);
}
