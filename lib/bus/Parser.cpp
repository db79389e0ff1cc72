#include "bus/Parser.h"

#include "bus/Driver.h"
#include "bus/Helpers.h"
#include "bus/Packet.h"
#include "bus/Protocol.h"
#include "foundation/CheckedLock.h"

#include <nlohmann/json.hpp>

#include <limits>

namespace velt::ZRV480::Bus {

using Common::ec2str;
using Common::ErrorCode;
using Common::Helpers;

namespace {

// Keeps a deadline computed from a huge time-out inside the clock's range.
constexpr int64_t LongestWaitMs = int64_t(1) << 40;

// Results worth another attempt: the reply went missing or came back garbled.
bool isRepeated(ErrorCode result) {
    return result == ErrorCode::Timeout || result == ErrorCode::MalformedResponse ||
           result == ErrorCode::BusGeneralError || result == ErrorCode::BusProtocolError;
}

// The calling thread's last drop-out, and the parser whose request it was.
struct DropOut {
    Parser const* parser = nullptr;
    ErrorCode result = ErrorCode::Success;
};
thread_local DropOut ownDropOut;

} // namespace

Parser::Parser(std::map<uint8_t, std::string> boardNames)
    : Logger("Parser"), driver(std::make_shared<Driver>()), names(std::move(boardNames)),
      statistics(names) {
    for (auto const& entry : names) {
        online[entry.first] = false;
    }
    online[Packet::AddressBroadcast] = true;
    // A slot that holds one pointer: the signal copies its slot for every
    // datagram, and a function object this small is copied without allocating.
    driver->dataReceived.connect(
        [this](std::vector<uint8_t> const& bytes) { onSocketData(bytes); });
}

Parser::~Parser() {
    // No datagram may reach onSocketData once the other fields start going.
    driver->stop();
}

Parser::Config Parser::configGet() const {
    CheckedLock lock(configMutex);
    return config;
}

void Parser::configSet(Config const& newConfig) {
    CheckedLock lock(configMutex);
    config = newConfig;
}

nlohmann::json Parser::socketConfigGet() const {
    return driver->getConfig();
}

void Parser::socketConfigSet(nlohmann::json const& settings) {
    driver->setConfig(settings);
}

bool Parser::isOnline(uint8_t address) const {
    return online.at(Protocol::AddressMain) && online.at(address);
}

std::optional<ErrorCode> Parser::takeDropOut() const {
    if (ownDropOut.parser != this) {
        return std::nullopt;
    }
    ownDropOut.parser = nullptr;
    return ownDropOut.result;
}

void Parser::start() {
    if (running) {
        return;
    }
    log(Log::Level::Info, "Starting...");
    try {
        driver->start();
    } catch (std::exception const& e) {
        log(Log::Level::Error, "Could not start the bus transport: %s", e.what());
        return;
    }
    running = true;
    log(Log::Level::Info, "Started!");
}

void Parser::stop() {
    if (!running) {
        return;
    }
    log(Log::Level::Info, "Stopping...");
    running = false;
    wakeWaiting();
    driver->stop();
    log(Log::Level::Info, "Stopped!");
}

void Parser::restart() {
    log(Log::Level::Info, "Restarting...");
    stop();
    start();
    log(Log::Level::Info, "Restarted!");
}

bool Parser::isTransportRunning() const {
    return driver->isRunning();
}

ErrorCode Parser::send(Packet const& request, Packet& reply, bool retry,
                       std::chrono::milliseconds timeout) {
    if (!running) {
        return ErrorCode::Timeout;
    }
    if (!admits(request)) {
        return ErrorCode::Timeout;
    }
    CheckedLock sendLock(sendMutex);
    uint8_t const seq = sequence;
    sequence = static_cast<uint8_t>(seq + 1);

    Config const defaults = configGet();
    int64_t const timeoutMs = std::min(
        timeout.count() != 0 ? int64_t(timeout.count()) : defaults.udpTimeoutMs, LongestWaitMs);
    uint64_t attempts = 1;
    if (retry && online.at(request.getAddress())) {
        attempts = defaults.retransmit == std::numeric_limits<uint64_t>::max()
                       ? defaults.retransmit
                       : defaults.retransmit + 1;
    }
    Transaction const transaction{request, seq, request.toBytes(seq),
                                  // The datagram's text only when the debug line shows it.
                                  Log::isEnabled(Log::Level::Debug) ? request.toLogText(seq) : "",
                                  timeoutMs};
    Packet received;
    Outcome const outcome = attemptUpTo(attempts, transaction, received);
    if (outcome.stopped) {
        // The stop, not the bus, ended it: the online state stays as it was.
        return outcome.result;
    }
    if (outcome.result == ErrorCode::Success) {
        reply = std::move(received);
    }
    updateOnline(request, seq, outcome.result);
    if (outcome.result != ErrorCode::Success && !isOnline(request.getAddress())) {
        ownDropOut = {this, outcome.result};
    }
    return outcome.result;
}

bool Parser::admits(Packet const& request) const {
    uint8_t const address = request.getAddress();
    bool const heartbeat = request.getCommand() == Packet::Command::Heartbeat;
    if (!online.at(Protocol::AddressMain) && !(heartbeat && address == Protocol::AddressMain)) {
        log(Log::Level::Warning, "Dropping request to %s: bus offline", nameOf(address).c_str());
        return false;
    }
    if (!online.at(address) && !heartbeat) {
        log(Log::Level::Warning, "Dropping request to %s: target offline", nameOf(address).c_str());
        return false;
    }
    return true;
}

Parser::Outcome Parser::attemptUpTo(uint64_t attempts, Transaction const& transaction,
                                    Packet& received) {
    for (uint64_t attempt = 0;; ++attempt) {
        Outcome const outcome = attemptOnce(transaction, attempt, received);
        if (outcome.stopped) {
            return outcome;
        }
        {
            CheckedLock lock(statisticsMutex);
            statistics.registerStat(transaction.request, outcome.result);
        }
        if (attempt + 1 >= attempts || !isRepeated(outcome.result)) {
            return outcome;
        }
    }
}

Parser::Outcome Parser::attemptOnce(Transaction const& transaction, uint64_t attempt,
                                    Packet& received) {
    uint8_t const seq = transaction.sequence;
    uint64_t stopsBefore;
    {
        CheckedLock lock(pendingMutex);
        if (!running) {
            // Stopped while it waited for its turn.
            return {ErrorCode::Timeout, true};
        }
        stopsBefore = stops;
        pending.active = true;
        pending.sequence = seq;
        pending.answered = false;
        pending.frame = &received;
    }
    log(Log::Level::Debug, "Transmiting [%02x] (attempt=%d)", seq, static_cast<uint8_t>(attempt));
    std::chrono::steady_clock::time_point deadline;
    Arrival const arrival = transmitAndReceive(transaction, deadline);

    CheckedLock lock(pendingMutex);
    if (arrival == Arrival::SocketGone) {
        // A stop ends the wait at once; a new socket never gets this reply.
        lock.waitUntil(stopped, deadline, [&] {
            pendingMutex.assertHeld();
            return pending.answered || stops != stopsBefore;
        });
    }
    ErrorCode result = ErrorCode::Timeout;
    if (pending.answered) {
        result = pending.code;
        Packet const& request = transaction.request;
        if (result == ErrorCode::Success && (received.getCommand() != request.getCommand() ||
                                             received.getAddress() != Packet::AddressHost)) {
            result = ErrorCode::BusProtocolError;
        }
    }
    // From here on a late reply of this attempt finds no one waiting.
    pending.active = false;
    pending.frame = nullptr;
    // A reply that came before the stop still counts.
    bool const stoppedNow = result == ErrorCode::Timeout && stops != stopsBefore;
    if (stoppedNow) {
        log(Log::Level::Debug, "Stopped while waiting [%02x]", seq);
    }
    return {result, stoppedNow};
}

Parser::Arrival Parser::transmitAndReceive(Transaction const& transaction,
                                           std::chrono::steady_clock::time_point& deadline) {
    // Made before the transmission: the reply cannot reach another reader.
    Driver::Reader reader(*driver);
    driver->transmit(transaction.datagram, transaction.logText);
    log(Log::Level::Debug, "Waiting [%02x] for %dms", transaction.sequence,
        static_cast<int>(transaction.timeoutMs));
    // A monotonic wait: a step of the wall clock neither prolongs nor cuts it.
    deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(transaction.timeoutMs);
    for (;;) {
        switch (reader.next(deadline)) {
        case Driver::Reception::Deadline:
            return Arrival::Deadline;
        case Driver::Reception::Closed:
            return Arrival::SocketGone;
        case Driver::Reception::Datagram:
            break;
        }
        CheckedLock lock(pendingMutex);
        if (pending.answered) {
            return Arrival::Answered;
        }
    }
}

void Parser::wakeWaiting() {
    {
        CheckedLock lock(pendingMutex);
        ++stops;
    }
    stopped.notify_all();
}

void Parser::onSocketData(std::vector<uint8_t> const& bytes) {
    if (bytes.size() < 4) {
        std::string const text(bytes.begin(), bytes.end());
        std::string note;
        if (shortDatagramLines.admit(note)) {
            log(Log::Level::Error, "Ignoring malformed response of size %d. '%s'%s",
                static_cast<int>(bytes.size()), text.c_str(), note.c_str());
        }
        return;
    }
    CheckedLock lock(pendingMutex);
    ErrorCode code = Packet::fromBytes(bytes, incoming);
    std::string note;
    if (code != ErrorCode::Success) {
        if (unparsableLines.admit(note)) {
            log(Log::Level::Error, "Could not parse packet: %s%s", ec2str(code).c_str(),
                note.c_str());
        }
    } else if (incoming.isError()) {
        code = Helpers::busError2ec(incoming.getError());
    }

    uint8_t const seq = incoming.getSequence();
    if (pending.active && pending.sequence == seq) {
        // A second reply to the same attempt (a duplicate) leaves the first.
        if (!pending.answered) {
            pending.code = code;
            std::swap(*pending.frame, incoming);
            pending.answered = true;
        }
        return;
    }
    // Late replies of the request that just ended and of the one before it
    // are expected after a time-out; anything else is worth a line.
    uint8_t const next = sequence;
    if (seq == static_cast<uint8_t>(next - 1) || seq == static_cast<uint8_t>(next - 2)) {
        return;
    }
    if (unexpectedSequenceLines.admit(note)) {
        log(Log::Level::Warning, "Ignoring non expected sequence number: 0x%02x%s", seq,
            note.c_str());
    }
}

std::string Parser::nameOf(uint8_t address) const {
    return address == Packet::AddressBroadcast ? "broadcast" : names.at(address);
}

void Parser::updateOnline(Packet const& request, uint8_t seq, ErrorCode result) {
    uint8_t const address = request.getAddress();
    std::atomic<bool>& bus = online.at(Protocol::AddressMain);
    std::atomic<bool>& target = online.at(address);
    bool const board = address != Protocol::AddressMain && address != Packet::AddressBroadcast;
    switch (result) {
    case ErrorCode::Timeout:
        if (board && !target) {
            // Only a heartbeat reaches a board known to be away: its silence
            // says that the board is still away, not that the bus is.
            break;
        }
        if (board) {
            // Its drop-out: from now on it gets heartbeats alone, whose
            // silence leaves the bus to the other boards.
            takeOffline(request, seq, result);
        }
        [[fallthrough]];
    case ErrorCode::MalformedResponse:
        if (bus) {
            log(Log::Level::Warning, "Setting bus offline: %s", ec2str(result).c_str());
        }
        bus = false;
        break;
    case ErrorCode::BusGeneralError:
    case ErrorCode::BusTimeout:
    case ErrorCode::BusProtocolError:
        takeOffline(request, seq, result);
        bus = true;
        break;
    default:
        if (!target || !bus) {
            log(Log::Level::Info, "Setting %s online", nameOf(address).c_str());
        }
        target = true;
        bus = true;
        break;
    }
}

void Parser::takeOffline(Packet const& request, uint8_t seq, ErrorCode result) {
    uint8_t const address = request.getAddress();
    std::atomic<bool>& target = online.at(address);
    if (target) {
        log(Log::Level::Warning, "Setting %s offline: (response=%s, request=[%s])",
            nameOf(address).c_str(), ec2str(result).c_str(), request.toLogText(seq).c_str());
    }
    target = false;
}

} // namespace velt::ZRV480::Bus
