#pragma once

#include <pthread.h>

// A default, non-recursive POSIX mutex: its owner must not lock it again.
class Mutex {
public:
    Mutex();
    ~Mutex();
    Mutex(Mutex const&) = delete;
    Mutex& operator=(Mutex const&) = delete;

    bool lock();
    bool unlock();
    // True when the mutex was taken.
    bool trylock();

private:
    pthread_mutex_t mutex;
};
