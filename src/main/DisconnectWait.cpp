#include "main/DisconnectWait.h"

#include <chrono>

namespace velt::ZRV480::BoardManager {

DisconnectWait::DisconnectWait(MQTT::Client& client) {
    // A restart stops and starts again: its notice, also one that comes
    // after the start, is not the one of the stop that main waits for.
    client.starting.connect([state = state] {
        std::lock_guard<std::mutex> lock(state->mutex);
        state->stopping = false;
        state->notified = false;
    });
    client.stopping.connect([state = state] {
        std::lock_guard<std::mutex> lock(state->mutex);
        state->stopping = true;
    });
    client.disconnected.connect([state = state] {
        std::lock_guard<std::mutex> lock(state->mutex);
        if (state->stopping) {
            state->notified = true;
            state->changed.notify_all();
        }
    });
}

bool DisconnectWait::wait(int timeoutMs) const {
    std::unique_lock<std::mutex> lock(state->mutex);
    return state->changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                   [this] { return state->notified; });
}

} // namespace velt::ZRV480::BoardManager
