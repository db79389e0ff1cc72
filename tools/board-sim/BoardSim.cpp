#include "BoardSim.h"

#include "BindAddress.h"
#include "LittleEndian.h"
#include "Lock.h"

#include <arpa/inet.h>

#include <thread>

namespace boardsim {

namespace {

int64_t monotonicMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

} // namespace

BoardSim::BoardSim() : BoardSim(Scenario::defaults()) {}

BoardSim::BoardSim(nlohmann::json const& scenarioJson)
    : BoardSim(Scenario::fromJson(scenarioJson)) {}

BoardSim::BoardSim(Scenario const& startScenario)
    : scenario(startScenario), machine(std::make_unique<Machine>(startScenario, boardCounters)),
      server(std::make_unique<UdpServer>(
          [this](Bytes const& datagram, Peer const& from) { onDatagram(datagram, from); })),
      timers(std::make_unique<TimerQueue>()) {}

BoardSim::~BoardSim() {
    stop();
    timers.reset();
    server.reset();
}

uint16_t BoardSim::start(uint16_t port, std::string const& address) {
    BindAddress::require(address);
    return server->start(address, port);
}

void BoardSim::stop() {
    server->stop();
    timers->cancelAll();
    Lock lock(heldMutex);
    held.clear();
}

uint16_t BoardSim::port() const {
    return server->port();
}

void BoardSim::onDatagram(Bytes const& datagram, Peer const& from) {
    RequestRecord record;
    record.timeMs = monotonicMs();
    record.sourcePort = ntohs(from.port);
    {
        Lock lock(peerMutex);
        lastPeer = from;
    }
    auto request = Frame::parse(datagram);
    if (!request) {
        record.malformed = true;
        record.hex = Frame::hex(datagram);
        record.summary = "malformed size " + std::to_string(datagram.size());
        record.outcome = "no reply";
        log.add(std::move(record));
        return;
    }
    record.address = request->address;
    record.sequence = request->sequence;
    record.command = request->command;
    record.slot = request->slot;
    record.payload = request->payload;
    if (auto secret = Machine::secretFrom(*request)) {
        // Only the length of a password reaches the log.
        record.payload.resize(*secret);
    }
    Bytes shown = datagram;
    shown.resize(Frame::HeaderSize + record.payload.size());
    record.hex = Frame::hex(shown);
    record.segment = request->segment();
    record.summary = machine->summarize(*request);

    auto applied = rules.evaluate(record);
    record.rules = applied.ids;
    Action const& action = applied.action;
    Machine::Outcome outcome;
    if (action.error) {
        // The board refuses: the request is not executed.
        outcome.reply = Frame::error(*request, *action.error);
        outcome.reply->payload.assign(action.errorExtra, 0);
    } else {
        outcome = machine->handle(*request);
    }
    boardCounters.request(request->address, request->command, request->slot);

    if (action.unsolicited) {
        server->send(*action.unsolicited, from);
    }
    const Bytes reply = shape(outcome, action);
    record.reply = Frame::hex(reply);
    record.outcome = !outcome.reply       ? "no reply"
                     : action.drop        ? "dropped"
                     : action.hold        ? "held"
                     : action.delayMs > 0 ? "delayed " + std::to_string(action.delayMs) + " ms"
                                          : "sent";
    bool const send = outcome.reply && !action.drop;
    if (send && action.hold) {
        // Queued before the request is logged, so a release after waitFor finds it.
        Lock lock(heldMutex);
        held.push_back(Held{reply, from, action.duplicateGapMs});
    }
    // Logged before the reply leaves: whoever got the reply finds the request in the log.
    log.add(std::move(record));
    if (send && !action.hold) {
        deliver(reply, from, action);
    }
}

Bytes BoardSim::shape(Machine::Outcome const& outcome, Action const& a) {
    if (!outcome.reply) {
        return {};
    }
    Frame reply = *outcome.reply;
    if (!a.error) {
        if (a.payload) {
            reply.payload = *a.payload;
        }
        if (a.result && outcome.result && reply.payload.size() >= 2) {
            reply.payload[0] = uint8_t(*a.result);
            reply.payload[1] = uint8_t(uint16_t(*a.result) >> 8);
        }
        if (a.echo && outcome.echo) {
            reply.payload = *a.echo;
        }
        if (a.truncate && *a.truncate < reply.payload.size()) {
            reply.payload.resize(*a.truncate);
        }
        if (a.append) {
            reply.payload.insert(reply.payload.end(), a.append->begin(), a.append->end());
        }
    }
    if (a.command) {
        reply.command = *a.command;
    }
    if (a.address) {
        reply.address = *a.address;
    }
    if (a.seqValue) {
        reply.sequence = *a.seqValue;
    } else if (a.seqOffset) {
        reply.sequence = uint8_t(reply.sequence + *a.seqOffset);
    }
    Bytes datagram = reply.toBytes();
    if (a.shortLength && *a.shortLength < datagram.size()) {
        datagram.resize(*a.shortLength);
    }
    if (a.oversize && *a.oversize > datagram.size()) {
        datagram.resize(*a.oversize, 0);
    }
    return datagram;
}

void BoardSim::deliver(Bytes const& reply, Peer const& to, Action const& a) {
    if (a.delayMs > 0) {
        auto gap = a.duplicateGapMs;
        timers->schedule(a.delayMs, [this, reply, to, gap] { sendWithDuplicate(reply, to, gap); });
    } else {
        sendWithDuplicate(reply, to, a.duplicateGapMs);
    }
}

void BoardSim::sendWithDuplicate(Bytes const& datagram, Peer const& to, std::optional<int> gapMs) {
    server->send(datagram, to);
    if (!gapMs) {
        return;
    }
    if (*gapMs <= 0) {
        server->send(datagram, to);
    } else {
        timers->schedule(*gapMs, [this, datagram, to] { server->send(datagram, to); });
    }
}

int BoardSim::addRule(Rule const& rule) {
    return rules.add(rule);
}

bool BoardSim::removeRule(int id) {
    return rules.remove(id);
}

void BoardSim::clearRules() {
    rules.clear();
}

uint32_t BoardSim::ruleUses(int id) const {
    return rules.uses(id);
}

void BoardSim::release() {
    std::vector<Held> released;
    {
        Lock lock(heldMutex);
        released.swap(held);
    }
    for (auto const& h : released) {
        sendWithDuplicate(h.datagram, h.to, h.duplicateGapMs);
    }
}

size_t BoardSim::heldCount() const {
    Lock lock(heldMutex);
    return held.size();
}

void BoardSim::sendUnsolicited(Bytes const& bytes) {
    std::optional<Peer> peer;
    {
        Lock lock(peerMutex);
        peer = lastPeer;
    }
    if (peer) {
        server->send(bytes, *peer);
    }
}

void BoardSim::setGatewayOnline(bool online) {
    machine->setGatewayOnline(online);
}

void BoardSim::setPresent(uint8_t address, bool present) {
    machine->withBoard(address, [present](Board& b, auto) { b.present = present; });
}

void BoardSim::setAbsentMode(Silence mode) {
    machine->withMain([mode](Machine::Main& m) { m.behaviour.absentMode = mode; });
}

void BoardSim::setUnknownAddressMode(Silence mode) {
    machine->withMain([mode](Machine::Main& m) { m.behaviour.unknownAddress = mode; });
}

bool BoardSim::isBooting(uint8_t address) const {
    return machine->withBoard(address, [](Board const& b, auto now) { return b.booting(now); });
}

bool BoardSim::waitBooted(uint8_t address, int timeoutMs) const {
    auto const deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        auto const until =
            machine->withBoard(address, [](Board const& b, auto) { return b.bootUntil(); });
        auto const now = std::chrono::steady_clock::now();
        if (now >= until) {
            return true;
        }
        if (now >= deadline) {
            return false;
        }
        std::this_thread::sleep_until(std::min(until, deadline));
    }
}

void BoardSim::reboot(uint8_t address) {
    machine->reboot(address);
}

void BoardSim::powerCycle(uint8_t address) {
    machine->powerCycle(address);
}

void BoardSim::reset() {
    rules.clear();
    {
        Lock lock(heldMutex);
        held.clear();
    }
    timers->cancelAll();
    machine->reset(scenario);
    log.clear();
    boardCounters.clear();
}

void BoardSim::setRaw(uint8_t address, SlotTable table, uint8_t slot, int32_t raw) {
    machine->withBoard(address,
                       [&](Board& b, auto) { b.slot(table == SlotTable::Config, slot).raw = raw; });
}

int32_t BoardSim::raw(uint8_t address, SlotTable table, uint8_t slot) const {
    return machine->withBoard(
        address, [&](Board& b, auto) { return b.slot(table == SlotTable::Config, slot).raw; });
}

void BoardSim::setStatus(uint8_t address, uint32_t status, uint32_t errors) {
    machine->withBoard(address, [&](Board& b, auto) {
        b.status = status;
        b.errors = errors;
    });
}

void BoardSim::setStatusText(uint8_t address, uint8_t slot, int32_t code, std::string const& text) {
    machine->withBoard(address, [&](Board& b, auto) { b.statusN[slot] = StatusText{code, text}; });
}

void BoardSim::setUptime(uint8_t address, uint32_t seconds) {
    machine->withBoard(address, [&](Board& b, auto now) { b.setUptime(now, seconds); });
}

void BoardSim::setBoardInfo(uint8_t address, BoardInfo const& info) {
    machine->withBoard(address, [&](Board& b, auto) { b.info = info; });
}

BoardInfo BoardSim::boardInfo(uint8_t address) const {
    return machine->withBoard(address, [](Board const& b, auto) { return b.info; });
}

void BoardSim::setBootloaderStatus(uint8_t address, uint16_t status) {
    machine->withBoard(address, [&](Board& b, auto) { b.bootloaderStatus = status; });
}

void BoardSim::setBootloaderFlags(uint8_t address, uint16_t flags) {
    machine->withBoard(address, [&](Board& b, auto) { b.bootloaderFlags = flags; });
}

uint16_t BoardSim::bootloaderStatus(uint8_t address) const {
    return machine->withBoard(address, [](Board const& b, auto) { return b.bootloaderStatus; });
}

uint16_t BoardSim::bootloaderFlags(uint8_t address) const {
    return machine->withBoard(address, [](Board const& b, auto) { return b.bootloaderFlags; });
}

std::optional<Bytes> BoardSim::pendingFirmware(uint8_t address) const {
    return machine->withBoard(address, [](Board const& b, auto) { return b.pending; });
}

void BoardSim::setScratchpad(uint8_t address, uint8_t index, int32_t value) {
    machine->withBoard(address, [&](Board& b, auto) { b.scratchpad[index] = value; });
}

int32_t BoardSim::scratchpad(uint8_t address, uint8_t index) const {
    return machine->withBoard(address, [&](Board const& b, auto) { return b.scratchpad[index]; });
}

void BoardSim::setClock(int32_t clock) {
    machine->setClock(clock);
}

int32_t BoardSim::clock() const {
    return machine->clock();
}

void BoardSim::setNetwork(Network const& network) {
    machine->withMain([&](Machine::Main& m) { m.network = network; });
}

Network BoardSim::network() const {
    return machine->withMain([](Machine::Main const& m) { return m.network; });
}

void BoardSim::setBusReport(BusReport const& report) {
    machine->withMain([&](Machine::Main& m) { m.busReport = report; });
}

void BoardSim::setBusReportAuto() {
    machine->withMain([](Machine::Main& m) { m.busReport.reset(); });
}

void BoardSim::setPassword(std::string const& password) {
    machine->withMain([&](Machine::Main& m) { m.password = password; });
}

std::optional<Preauth> BoardSim::preauth() const {
    return machine->withMain([](Machine::Main const& m) { return m.preauth; });
}

bool BoardSim::disarmed() const {
    return machine->withMain([](Machine::Main const& m) { return m.disarmed; });
}

void BoardSim::setLegacyChecksum(bool legacy) {
    machine->withMain([&](Machine::Main& m) { m.legacyChecksum = legacy; });
}

void BoardSim::setOpenMissing(OpenMissing mode) {
    machine->withMain([&](Machine::Main& m) { m.behaviour.openMissing = mode; });
}

void BoardSim::setLastWriteResult(int16_t result) {
    machine->withMain([&](Machine::Main& m) { m.behaviour.lastWriteResult = result; });
}

void BoardSim::setLastReadResult(int16_t result) {
    machine->withMain([&](Machine::Main& m) { m.behaviour.lastReadResult = result; });
}

void BoardSim::putFile(std::string const& name, Bytes const& content) {
    machine->withMain([&](Machine::Main& m) { m.files.put(name, content); });
}

std::optional<Bytes> BoardSim::file(std::string const& name) const {
    return machine->withMain([&](Machine::Main const& m) { return m.files.get(name); });
}

bool BoardSim::deleteFile(std::string const& name) {
    return machine->withMain([&](Machine::Main& m) { return m.files.remove(name); });
}

std::vector<FileEntry> BoardSim::files() const {
    return machine->withMain([](Machine::Main const& m) { return m.files.list(); });
}

void BoardSim::setHeartbeatPayload(HeartbeatPayload mode, Bytes const& bytes) {
    machine->withMain([&](Machine::Main& m) {
        m.behaviour.heartbeatPayload = mode;
        m.behaviour.heartbeatBytes = bytes;
    });
}

void BoardSim::setRebootReply(RebootReply mode) {
    machine->withMain([&](Machine::Main& m) { m.behaviour.rebootReply = mode; });
}

void BoardSim::setNoTerminator(bool on) {
    machine->withMain([&](Machine::Main& m) { m.behaviour.noTerminator = on; });
}

std::vector<RequestRecord> BoardSim::requests() const {
    return log.entries();
}

void BoardSim::clearRequests() {
    log.clear();
}

void BoardSim::setRequestLogLimit(size_t limit) {
    log.setLimit(limit);
}

size_t BoardSim::requestCount(Filter const& filter) const {
    return log.count(filter);
}

bool BoardSim::waitFor(Filter const& filter, size_t count, int timeoutMs) const {
    return log.waitFor(filter, count, timeoutMs);
}

Counters const& BoardSim::counters() const {
    return boardCounters;
}

} // namespace boardsim
