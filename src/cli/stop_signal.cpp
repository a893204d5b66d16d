#include "cli/stop_signal.h"

#include <signal.h>

#include <csignal>

namespace qm::cli {
namespace {

// A signal handler can only reach a flag of static storage.
volatile std::sig_atomic_t gStopSignal = 0;

extern "C" void onStopSignal(int sig) {
    gStopSignal = sig;
}

}  // namespace

void installStopSignalHandlers() {
    struct sigaction sa {};
    sa.sa_handler = onStopSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    signal(SIGXFSZ, SIG_IGN);
}

int stopSignal() {
    return int(gStopSignal);
}

}  // namespace qm::cli
