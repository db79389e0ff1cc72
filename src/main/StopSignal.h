#pragma once

#include <condition_variable>
#include <memory>
#include <thread>

#include "engine/Engine.h"
#include "foundation/CheckedMutex.h"

namespace velt::ZRV480::BoardManager {

// Takes SIGTERM and SIGINT with sigwait on a thread of its own: logs the
// signal, stops the engine when there is one, and tells main, which then
// releases everything and ends with status 0. The stop thus never runs in a
// signal handler nor on a thread that the stop joins. Only the first signal
// counts; later ones stay blocked and are ignored.
class StopSignal {
public:
    // Must run in main before any thread starts, so every thread inherits
    // the blocked signals and only sigwait takes them.
    static void block();

    StopSignal();
    // Joins the thread once it has stopped; else leaves it waiting.
    ~StopSignal();
    StopSignal(StopSignal const&) = delete;
    StopSignal& operator=(StopSignal const&) = delete;

    // The engine that a signal stops from now on (none: nothing to stop).
    // False when a signal came first: the caller must not start the engine
    // then.
    bool setEngine(std::shared_ptr<Manager::Engine> engine);
    bool requested() const;
    // Until a signal's stop is done.
    void waitDone();

private:
    void run();
    // Read apart from the destructor, where the thread-safety analysis would
    // not check it (it checks no destructor).
    bool finished() const;

    mutable CheckedMutex mutex;
    std::condition_variable doneChanged;
    std::shared_ptr<Manager::Engine> engine GUARDED_BY(mutex);
    bool stopRequested GUARDED_BY(mutex) = false;
    bool done GUARDED_BY(mutex) = false;
    std::thread thread; // last: started once the fields exist
};

} // namespace velt::ZRV480::BoardManager
