#pragma once

#include "foundation/Semaphore.h"

#include <pthread.h>

#include <atomic>

// A POSIX thread running either a function or the overridable task, with a
// stop request that the body polls. The object must outlive its thread body.
class Thread {
public:
    // A derived class that overrides task passes a null function.
    Thread(void (*function)(void*), void* argument);
    // Detaches a thread that was neither joined nor detached.
    virtual ~Thread();
    Thread(Thread const&) = delete;
    Thread& operator=(Thread const&) = delete;

    virtual void task(void* argument);

    // False while a body runs. An argument given to the constructor wins.
    bool run(void* argument);
    // False from the thread itself or when there is nothing to join.
    bool join();
    bool detach();
    bool running() const;

    static bool yield();
    static void sleep(int milliseconds);

    // Posts one stop request; each satisfies one terminated() call.
    bool terminate();
    // 0 only tries, negative waits without limit.
    bool terminated(int milliseconds);

private:
    static void* threadFunction(void* self);

    void (*function)(void*);
    void* argument;
    // Written by the controlling thread and the body, hence atomic.
    std::atomic<int> state;
    std::atomic<bool> joinable;
    pthread_t handle; // written by run() on the controlling thread only
    Semaphore terminateSemaphore;
};
