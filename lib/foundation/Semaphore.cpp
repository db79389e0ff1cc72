#include "foundation/Semaphore.h"

#include <cerrno>
#include <ctime>

void Semaphore::Destroy::operator()(sem_t* handle) const {
    sem_destroy(handle);
    delete handle;
}

Semaphore::Semaphore(std::string const& semaphoreName, unsigned initialCount, unsigned limit)
    : name(semaphoreName), maxCount(limit) {
    sem_t* created = new sem_t;
    if (sem_init(created, 0, initialCount < limit ? initialCount : limit) == 0) {
        sem.reset(created);
    } else {
        delete created;
    }
}

Semaphore::~Semaphore() = default;

bool Semaphore::Post(unsigned count) {
    if (!sem) {
        return false;
    }
    for (unsigned i = 0; i < (count == 0 ? 1u : count); ++i) {
        if (sem_post(sem.get()) != 0) {
            return false;
        }
    }
    return true;
}

bool Semaphore::Wait(int milliseconds) {
    if (!sem) {
        return false;
    }
    if (milliseconds < 0) {
        return sem_wait(sem.get()) == 0;
    }
    if (milliseconds == 0) {
        return sem_trywait(sem.get()) == 0;
    }
    // Measured on the monotonic clock so that setting the wall clock neither
    // stretches nor cuts the wait.
    struct timespec deadline;
    if (clock_gettime(CLOCK_MONOTONIC, &deadline) != 0) {
        return false;
    }
    int64_t const nanoseconds = static_cast<int64_t>(milliseconds) * 1000000 + deadline.tv_nsec;
    deadline.tv_sec += static_cast<time_t>(nanoseconds / 1000000000);
    deadline.tv_nsec = static_cast<long>(nanoseconds % 1000000000);
    int result;
    do {
        result = sem_clockwait(sem.get(), CLOCK_MONOTONIC, &deadline);
    } while (result != 0 && errno == EINTR);
    return result == 0;
}

bool Semaphore::Try() {
    return sem && sem_trywait(sem.get()) == 0;
}

unsigned Semaphore::GetMaxCount() const {
    return maxCount;
}

std::string const& Semaphore::GetName() const {
    return name;
}
