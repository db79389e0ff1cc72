#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "foundation/CheckedLock.h"
#include "foundation/CheckedMutex.h"
#include "foundation/Semaphore.h"
#include "foundation/TaskThread.h"
#include "mqtt/Config.h"

class MQTTClient;
class MQTTClientListener;
class MQTTPublisher;

namespace MQTT {

class Client;

// The broker connection of a Client: connection attempts, retries after a
// failure or a loss, and the subscriptions thread of each connection. The
// library client is held behind a pointer, so that its headers stay out of
// every file that includes the client.
//
// Threads and locks:
// - Attempts, retries and restarts run on tasks, never on a library thread:
//   the library forbids destroying its client from inside its callbacks.
// - connectionMutex guards generation and attemptPending; subscriptionsMutex
//   guards the count of subscriptions threads. Neither is held while the
//   broker is called or a thread is started, nor with the other.
class Connection {
public:
    // Library events go to listener; lines are logged through owner.
    Connection(MQTTClientListener& listener, Client const& owner);
    ~Connection();
    Connection(Connection const&) = delete;
    Connection& operator=(Connection const&) = delete;

    // The library client, as the client's default outbox.
    MQTTPublisher& publisher();

    // Applies the settings and posts the first attempt.
    void start(Config const& settings);
    // Disconnects and returns once the subscriptions of the last
    // connection have ended. True when the library took the disconnection,
    // whose notice then follows; false when it was not connected (an
    // attempt still in flight goes on until close).
    bool stop();
    // Runs task on our own thread.
    void post(std::function<void()> task);
    // Drops the tasks not yet run; later posts are dropped.
    void shutdownTasks();
    // Destroys the library client and waits for the subscriptions threads.
    void close();

    bool isRunning() const { return running; }
    bool isConnected() const;
    // One count per connection: -1 waits without limit, 0 only tries.
    bool waitConnected(int milliseconds);

    bool subscribe(std::string const& topic);
    bool unsubscribe(std::string const& topic);

    // Library results. A connection runs subscriptions on a thread of its
    // own unless the client was stopped meanwhile.
    void onConnected(std::function<void()> const& subscriptions);
    void onDisconnected();
    void onConnectFailed();
    void onSubscribeFailed(std::string const& topic);
    void onUnsubscribeFailed(std::string const& topic);

private:
    void scheduleConnect(int delayMs);
    // Runs `retry` on our task thread after RetryDelayMs unless the client
    // was stopped or started again meanwhile (a connection resubscribes
    // everything). Never waits on a library thread: the library holds its
    // own lock while it reports, and a stop waits for that lock.
    void scheduleRetry(std::function<void()> const& retry);
    void attemptConnect(uint64_t attempt);
    void connectionDone();
    // Returns once no subscriptions thread runs; none starts after a stop.
    void waitSubscriptionsDone();

    Client const& owner;
    std::unique_ptr<MQTTClient> brokerClient;
    std::atomic<bool> running{false};
    Semaphore connectedSemaphore;

    CheckedMutex connectionMutex;
    // Counts starts and stops: an attempt scheduled before either is dropped.
    uint64_t generation GUARDED_BY(connectionMutex) = 0;
    // An attempt is scheduled or awaits its result: at most one at a time.
    bool attemptPending GUARDED_BY(connectionMutex) = false;

    CheckedMutex subscriptionsMutex;
    std::condition_variable subscriptionsDone;
    // Subscriptions threads still running; the destructor waits for them.
    int subscriptionThreads GUARDED_BY(subscriptionsMutex) = 0;

    // Last member: its thread is joined before the others go.
    TaskThread tasks;
};

} // namespace MQTT
