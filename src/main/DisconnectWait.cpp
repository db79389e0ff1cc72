#include "main/DisconnectWait.h"

#include "foundation/CheckedLock.h"

#include <chrono>

namespace velt::ZRV480::BoardManager {

DisconnectWait::DisconnectWait(MQTT::Client& client) {
    // A restart stops and starts again: its notice, also one that comes
    // after the start, is not the one of the stop that main waits for.
    client.starting.connect([state = state] {
        CheckedLock lock(state->mutex);
        state->stopping = false;
        state->notified = false;
    });
    client.stopping.connect([state = state] {
        CheckedLock lock(state->mutex);
        state->stopping = true;
    });
    client.disconnected.connect([state = state] {
        CheckedLock lock(state->mutex);
        if (state->stopping) {
            state->notified = true;
            state->changed.notify_all();
        }
    });
}

bool DisconnectWait::wait(int timeoutMs) const {
    CheckedLock lock(state->mutex);
    return lock.waitFor(state->changed, std::chrono::milliseconds(timeoutMs), [this] {
        state->mutex.assertHeld();
        return state->notified;
    });
}

} // namespace velt::ZRV480::BoardManager
