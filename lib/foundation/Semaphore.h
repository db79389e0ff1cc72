#pragma once

#include <semaphore.h>

#include <cstdint>
#include <memory>
#include <string>

// A counting, process-private semaphore. The maximum caps only the initial
// count. When it cannot be initialised every operation answers false.
class Semaphore {
public:
    Semaphore(std::string const& name, unsigned initialCount, unsigned maxCount);
    ~Semaphore();
    Semaphore(Semaphore const&) = delete;
    Semaphore& operator=(Semaphore const&) = delete;

    // Posts count times (0 counts as 1).
    bool Post(unsigned count);
    // Negative waits without limit, 0 only tries, positive waits at most that
    // many milliseconds on the monotonic clock. True when a count was taken.
    bool Wait(int milliseconds);
    bool Try();
    unsigned GetMaxCount() const;
    std::string const& GetName() const;

private:
    struct Destroy {
        void operator()(sem_t* handle) const;
    };

    std::string name;
    std::unique_ptr<sem_t, Destroy> sem; // null when unusable
    uint32_t maxCount;
};
