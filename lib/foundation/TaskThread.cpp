#include "foundation/TaskThread.h"

#include "foundation/Log.h"

#include <exception>

TaskThread::TaskThread() : thread([this] { run(); }) {}

TaskThread::~TaskThread() {
    shutdown();
}

void TaskThread::post(std::chrono::milliseconds delay, std::function<void()> task) {
    {
        CheckedLock lock(mutex);
        if (stopping) {
            return;
        }
        tasks.emplace(std::make_pair(Clock::now() + delay, sequence++), std::move(task));
    }
    wake.notify_one();
}

void TaskThread::shutdown() {
    {
        CheckedLock lock(mutex);
        stopping = true;
        tasks.clear();
    }
    wake.notify_one();
    if (thread.joinable()) {
        thread.join();
    }
}

bool TaskThread::isCurrentThread() const {
    return std::this_thread::get_id() == thread.get_id();
}

// A task that throws is reported and the thread goes on with the next one:
// an escaping exception would end the whole process.
void TaskThread::runGuarded(std::function<void()> const& task) {
    try {
        task();
    } catch (std::exception const& e) {
        Log::error("A task failed: %s", e.what());
    } catch (...) {
        Log::error("A task failed: unknown exception");
    }
}

void TaskThread::run() {
    CheckedLock lock(mutex);
    while (!stopping) {
        if (tasks.empty()) {
            lock.wait(wake);
            continue;
        }
        auto const due = tasks.begin()->first.first;
        if (Clock::now() < due) {
            lock.waitUntil(wake, due);
            continue;
        }
        std::function<void()> task = std::move(tasks.begin()->second);
        tasks.erase(tasks.begin());
        lock.unlock();
        runGuarded(task);
        lock.relock();
    }
}
