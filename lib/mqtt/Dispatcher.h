#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "foundation/CheckedLock.h"
#include "foundation/CheckedMutex.h"
#include "mqtt/Message.h"
#include "mqtt/TopicTable.h"

namespace MQTT {

class Client;
class Connection;

// Hands each received message to the first step that claims it: a reply
// someone awaits, an internal or external command, a served call, a call's
// reply; anything else is reported on the error topic. It also makes the
// calls and commands that await a reply.
//
// Threads and locks: messages arrive on the library's threads, calls come
// from any thread. registrationMutex guards the tables of commands, calls
// and expected replies; each table of awaited replies has its own lock; the
// generator has randomMutex. Handlers are copied under the lock and called
// without it (they may register further handlers, publish or block), and
// no lock is held while the broker is called or a reply is awaited.
class Dispatcher {
public:
    using json = nlohmann::json;
    using CommandHandler = std::function<void(Message const&)>;
    // (name, request payload, id) -> reply payload.
    using RpcHandler =
        std::function<std::string(std::string const&, std::string const&, std::string const&)>;

    Dispatcher(Client& client, Connection& brokerConnection);
    Dispatcher(Dispatcher const&) = delete;
    Dispatcher& operator=(Dispatcher const&) = delete;

    bool subscribeCommand(std::string const& topic, CommandHandler const& handler, bool internal);
    bool unsubscribeCommand(std::string const& topic, bool internal);
    std::pair<bool, std::string> command(std::string const& topic, std::string const& responseTopic,
                                         std::string const& payload, uint64_t timeoutMs);
    bool subscribeExpectedResponse(std::string const& topic);

    bool subscribeRpc(std::string const& name, RpcHandler const& handler);
    bool unsubscribeRpc(std::string const& name);
    std::pair<bool, std::string> rpc(std::string const& name, std::string const& payload,
                                     uint64_t timeoutMs);
    bool subscribeExpectedRpc(std::string const& name);

    void dispatch(Message const& message);
    // A new connection: each retained request is reported again.
    void onConnected();
    // The report {"command": topic, "error": error} on "error" below the base.
    void publishError(json const& error, std::string const& topic);

    // Every registered topic to subscribe after a connection, prefix being
    // the base topic; false when the client stopped meanwhile.
    bool collectSubscriptions(std::string const& prefix, bool logSubscriptions,
                              std::vector<std::string>& topics);

private:
    // Handlers awaiting one reply each, by key.
    struct PendingReplies {
        CheckedMutex mutex;
        std::map<std::string, CommandHandler> handlers GUARDED_BY(mutex);
    };

    // Undo what command and rpc subscribed for the length of one call.
    bool unsubscribeExpectedResponse(std::string const& topic);
    bool unsubscribeExpectedRpc(std::string const& name);
    Message makeErrorMessage(json const& error, std::string const& topic) const;
    // True when the request is not carried out: it came retained (the
    // broker replays it at every subscription), or it is the empty message
    // that clears such a request, as the warning tells the operator to send.
    bool heldBack(Message const& message);

    // Dispatch steps, in the order they are offered a received message.
    bool handleReceivedCommandResponse(Message const& message);
    bool handleReceivedCommandInternal(Message const& message);
    bool handleReceivedCommandExternal(Message const& message);
    bool handleReceivedRpcRequest(Message const& message);
    bool handleReceivedRpcResponse(Message const& message);

    // The first entry whose key, as a filter, matches topic: a scan, for the
    // small tables of awaited replies.
    template <typename Table>
    static typename Table::const_iterator firstMatch(Table const& table, std::string const& topic);
    // Registers a one-shot handler under key in pending, publishes request
    // and waits for the handler's message: (false, "") on time-out.
    std::pair<bool, std::string> awaitReply(PendingReplies& pending, std::string const& key,
                                            Message const& request, uint64_t timeoutMs);

    Client& owner;
    Connection& connection;

    CheckedMutex registrationMutex;
    TopicTable<CommandHandler> commands GUARDED_BY(registrationMutex);
    TopicTable<CommandHandler> externalCommands GUARDED_BY(registrationMutex);
    TopicTable<RpcHandler> rpcs GUARDED_BY(registrationMutex);
    std::set<std::string> expectedRpcs GUARDED_BY(registrationMutex);
    std::set<std::string> expectedResponses GUARDED_BY(registrationMutex);

    PendingReplies pendingRpcs;
    PendingReplies pendingCommands;

    CheckedMutex retainedMutex;
    // Full topics of the retained requests reported on this connection;
    // bounded, since any client may retain requests under fresh call ids.
    std::set<std::string> retainedReported GUARDED_BY(retainedMutex);

    CheckedMutex randomMutex;
    std::linear_congruential_engine<uint64_t, 16807, 0, 2147483647> random GUARDED_BY(randomMutex);
};

} // namespace MQTT
