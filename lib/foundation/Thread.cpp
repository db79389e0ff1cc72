#include "foundation/Thread.h"

#include <sched.h>

#include <ctime>

Thread::Thread(void (*body)(void*), void* bodyArgument)
    : function(body), argument(bodyArgument), state(0), joinable(false), handle(0),
      terminateSemaphore("", 0, 1) {}

Thread::~Thread() {
    if (joinable && pthread_detach(handle) == 0) {
        joinable = false;
    }
}

void Thread::task(void*) {}

bool Thread::run(void* runArgument) {
    // Claiming the state before the thread exists keeps a second run() from
    // starting another body in the gap before the first one begins.
    int idle = 0;
    if (!state.compare_exchange_strong(idle, 1)) {
        return false;
    }
    // A previous body has returned but was never joined: reclaim it.
    if (joinable) {
        join();
    }
    if (argument == nullptr) {
        argument = runArgument;
    }
    if (pthread_create(&handle, nullptr, &Thread::threadFunction, this) != 0) {
        state = 0;
        return false;
    }
    // Marked here rather than in the body, so that a join or destruction right
    // after run() finds the thread.
    joinable = true;
    return true;
}

void* Thread::threadFunction(void* self) {
    Thread* thread = static_cast<Thread*>(self);
    if (thread->function != nullptr) {
        thread->function(thread->argument);
    } else {
        thread->task(thread->argument);
    }
    thread->state = 0;
    return nullptr;
}

bool Thread::join() {
    if (!joinable || pthread_equal(pthread_self(), handle)) {
        return false;
    }
    joinable = false;
    if (pthread_join(handle, nullptr) != 0) {
        joinable = true;
        return false;
    }
    return true;
}

bool Thread::detach() {
    if (!joinable || pthread_detach(handle) != 0) {
        return false;
    }
    joinable = false;
    return true;
}

bool Thread::running() const {
    return state == 1;
}

bool Thread::yield() {
    return sched_yield() == 0;
}

void Thread::sleep(int milliseconds) {
    if (milliseconds <= 0) {
        return;
    }
    struct timespec const duration = {static_cast<time_t>(milliseconds / 1000),
                                      static_cast<long>(milliseconds % 1000) * 1000000};
    nanosleep(&duration, nullptr);
}

bool Thread::terminate() {
    return terminateSemaphore.Post(1);
}

bool Thread::terminated(int milliseconds) {
    return milliseconds == 0 ? terminateSemaphore.Try() : terminateSemaphore.Wait(milliseconds);
}
