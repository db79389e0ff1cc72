#pragma once

#include <condition_variable>
#include <memory>

#include "foundation/CheckedMutex.h"
#include "mqtt/Client.h"

namespace velt::ZRV480::BoardManager {

// After the MQTT client's stop, its disconnection notice arrives later on a
// library thread and runs the slots of objects that main is about to
// release; main waits for it, bounded, when the stop says one follows. Made
// after every other slot is connected, so its own slot runs last.
class DisconnectWait {
public:
    explicit DisconnectWait(MQTT::Client& client);
    // True when the notice of a disconnection after the last stop has come
    // (a restart's stop, followed by a start, does not count).
    bool wait(int timeoutMs) const;

private:
    struct State {
        CheckedMutex mutex;
        std::condition_variable changed;
        bool stopping GUARDED_BY(mutex) = false;
        bool notified GUARDED_BY(mutex) = false;
    };
    // Shared with the slots, which may outlive this object.
    std::shared_ptr<State> state = std::make_shared<State>();
};

} // namespace velt::ZRV480::BoardManager
