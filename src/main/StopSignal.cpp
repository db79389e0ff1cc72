#include "main/StopSignal.h"

#include "foundation/CheckedLock.h"
#include "foundation/Log.h"

#include <csignal>
#include <cstring>
#include <pthread.h>

namespace velt::ZRV480::BoardManager {

namespace {

sigset_t stopSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    return set;
}

} // namespace

void StopSignal::block() {
    sigset_t const set = stopSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

StopSignal::StopSignal() : thread([this] { run(); }) {}

StopSignal::~StopSignal() {
    if (finished()) {
        thread.join();
    } else {
        thread.detach(); // no signal came: it waits in sigwait until the process ends
    }
}

bool StopSignal::setEngine(std::shared_ptr<Manager::Engine> stopped) {
    CheckedLock lock(mutex);
    engine = std::move(stopped);
    return !stopRequested;
}

bool StopSignal::finished() const {
    CheckedLock lock(mutex);
    return done;
}

bool StopSignal::requested() const {
    CheckedLock lock(mutex);
    return stopRequested;
}

void StopSignal::waitDone() {
    CheckedLock lock(mutex);
    lock.wait(doneChanged, [this] {
        mutex.assertHeld();
        return done;
    });
}

void StopSignal::run() {
    sigset_t const set = stopSignals();
    int signal = 0;
    while (sigwait(&set, &signal) != 0) {
    }
    Log::info("Signal caught: %s [%d]", strsignal(signal), signal);
    std::shared_ptr<Manager::Engine> running;
    {
        CheckedLock lock(mutex);
        stopRequested = true;
        running = engine;
    }
    if (running) {
        running->stop();
    }
    CheckedLock lock(mutex);
    done = true;
    doneChanged.notify_all();
}

} // namespace velt::ZRV480::BoardManager
