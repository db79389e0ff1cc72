#include "Machine.h"

#include "LittleEndian.h"

#include <ctime>
#include <stdexcept>

namespace boardsim {

namespace {

constexpr uint8_t AddressMain = 0;
enum MainSlot : uint8_t {
    MiscClock = 3,
    MiscNetwork = 4,
    MiscSecurity = 5,
    MiscBusReport = 6,
    MiscFiles = 241
};
constexpr size_t HashLength = 64;

bool isMainSlot(uint8_t slot) {
    return slot == MiscClock || slot == MiscNetwork || slot == MiscSecurity ||
           slot == MiscBusReport || slot == MiscFiles;
}

bool isDisarm(Bytes const& payload) {
    return payload.size() >= 2 && payload[0] == 1 && payload[1] == 0;
}

template <size_t N> void putArray(Bytes& out, std::array<uint8_t, N> const& a) {
    out.insert(out.end(), a.begin(), a.end());
}

template <size_t N> void takeArray(std::array<uint8_t, N>& a, Bytes const& in, size_t at) {
    std::copy(in.begin() + at, in.begin() + at + N, a.begin());
}

} // namespace

Machine::Machine(Scenario const& scenario, Counters& sharedCounters) : counters(sharedCounters) {
    reset(scenario);
}

void Machine::reset(Scenario const& scenario) {
    Lock lock(mutex);
    auto const now = Clock::now();
    boards.clear();
    for (auto const& spec : scenario.boards) {
        boards.emplace(spec.address, Board(spec, now));
    }
    MainSpec const& m = scenario.main;
    main = Main{scenario.behaviour, m.network, m.busReport,      m.password,
                m.preauth,          false,     m.legacyChecksum, FileStore(m.files)};
    clockBase = m.hostOffset ? int32_t(int64_t(std::time(nullptr)) + *m.hostOffset) : m.clock;
    clockSetAt = now;
    toBoards = 0;
    fromBoards = 0;
}

Board const& Machine::board(uint8_t address) const {
    auto it = boards.find(address);
    if (it == boards.end()) {
        throw std::out_of_range("no board at address " + std::to_string(address));
    }
    return it->second;
}

Board& Machine::board(uint8_t address) {
    return const_cast<Board&>(static_cast<Machine const&>(*this).board(address));
}

Machine::Outcome Machine::answer(Frame const& request, Answer const& a) const {
    Outcome outcome;
    if (a.silent) {
        return outcome;
    }
    outcome.reply = a.error ? Frame::error(request, *a.error) : Frame::reply(request, a.payload);
    outcome.echo = a.echo;
    outcome.result = a.result;
    return outcome;
}

Machine::Outcome Machine::handle(Frame const& request) {
    Lock lock(mutex);
    auto const now = Clock::now();
    Board& gateway = board(AddressMain);
    // An offline or booting gateway answers nothing, whatever the address.
    if (!main.behaviour.gatewayOnline || !gateway.awake(now)) {
        return Outcome{};
    }
    if (request.address == Frame::AddressBroadcast) {
        return broadcast(request, now);
    }
    auto it = boards.find(request.address);
    if (it == boards.end()) {
        return main.behaviour.unknownAddress == Silence::Silent
                   ? Outcome{}
                   : answer(request, Answer::fail(Frame::NodeTimeout));
    }
    Board& target = it->second;
    if (!target.awake(now)) {
        return main.behaviour.absentMode == Silence::Silent
                   ? Outcome{}
                   : answer(request, Answer::fail(Frame::NodeTimeout));
    }
    bool const behind = request.address != AddressMain;
    if (behind) {
        ++toBoards;
    }
    auto result = target.handle(request, now, main.behaviour, counters);
    if (!result) {
        result = behind || !isMainSlot(request.slot) ? Answer::fail(Frame::InvalidSlot)
                                                     : mainOnly(request);
    }
    if (behind && !result->silent) {
        ++fromBoards;
    }
    return answer(request, *result);
}

Machine::Outcome Machine::broadcast(Frame const& request, Clock::time_point now) {
    bool const reboot = request.command == Frame::Misc && request.slot == Board::MiscReboot;
    bool const restore = request.command == Frame::Misc && request.slot == Board::MiscRestore;
    bool const heartbeat = request.command == Frame::Heartbeat && request.slot == 0;
    if (!reboot && !restore && !heartbeat) {
        return answer(request, Answer::fail(Frame::ProtocolError));
    }
    // The gateway answers once; the boards act after it, absent ones are skipped.
    for (auto& [address, b] : boards) {
        if (!b.present) {
            continue;
        }
        if (reboot) {
            b.reboot(now, counters);
        } else if (restore) {
            b.restoreDefaults();
        }
    }
    return answer(request, Answer{});
}

Answer Machine::mainOnly(Frame const& request) {
    switch (request.slot) {
    case MiscClock:
        return clockCommand(request.payload);
    case MiscNetwork:
        return network(request.payload);
    case MiscSecurity:
        return security(request.payload);
    case MiscBusReport: {
        const BusReport r = busReportLocked(Clock::now());
        Answer a;
        a.payload = {r.total, r.connected};
        LittleEndian::put16(a.payload, r.rx);
        LittleEndian::put16(a.payload, r.tx);
        a.payload.push_back(r.quality);
        return a;
    }
    default:
        if (request.payload.empty()) {
            return Answer::fail(Frame::ProtocolError);
        }
        if (isDisarm(request.payload)) {
            return disarm(request.payload);
        }
        return main.files.handle(request.payload, main.behaviour, main.legacyChecksum);
    }
}

Answer Machine::clockCommand(Bytes const& payload) {
    if (payload.empty()) {
        Answer a;
        LittleEndian::put32(a.payload, uint32_t(clockLocked(Clock::now())));
        return a;
    }
    if (payload.size() != 4) {
        return Answer::fail(Frame::ProtocolError);
    }
    clockBase = int32_t(LittleEndian::get32(payload, 0));
    clockSetAt = Clock::now();
    return Answer::echoing(payload);
}

Answer Machine::network(Bytes const& payload) {
    if (payload.empty()) {
        return Answer::fail(Frame::ProtocolError);
    }
    Network& n = main.network;
    const size_t size = payload.size();
    Answer a;
    switch (payload[0]) {
    case 0:
        if (size != 1) {
            return Answer::fail(Frame::ProtocolError);
        }
        a.payload.push_back(n.link);
        putArray(a.payload, n.mac);
        putArray(a.payload, n.dhcp ? n.ip : n.cfgIp);
        return a;
    case 1:
        if (size == 3) {
            n.boardServerPort = LittleEndian::get16(payload, 1);
            a.echo = true;
        } else if (size != 1) {
            return Answer::fail(Frame::ProtocolError);
        }
        LittleEndian::put16(a.payload, n.boardServerPort);
        return a;
    case 2:
        if (size == 2) {
            n.dhcp = payload[1] != 0;
            a.echo = true;
        } else if (size != 1) {
            return Answer::fail(Frame::ProtocolError);
        }
        a.payload.push_back(n.dhcp ? 1 : 0);
        return a;
    case 3:
        if (size == 13) {
            takeArray(n.cfgIp, payload, 1);
            takeArray(n.netmask, payload, 5);
            takeArray(n.gateway, payload, 9);
            a.echo = true;
        } else if (size != 1) {
            return Answer::fail(Frame::ProtocolError);
        }
        putArray(a.payload, n.cfgIp);
        putArray(a.payload, n.netmask);
        putArray(a.payload, n.gateway);
        return a;
    case 4:
        if (size == 5) {
            takeArray(n.dns, payload, 1);
            a.echo = true;
        } else if (size != 1) {
            return Answer::fail(Frame::ProtocolError);
        }
        putArray(a.payload, n.dns);
        return a;
    default:
        return Answer::fail(Frame::InvalidValue);
    }
}

Answer Machine::security(Bytes const& payload) {
    if (payload.empty()) {
        return Answer::fail(Frame::ProtocolError);
    }
    if (payload[0] != 3 || payload.size() < 2 || payload[1] != 0) {
        return Answer::fail(Frame::InvalidValue);
    }
    auto hashEnd = std::find(payload.begin() + 2, payload.end(), 0);
    if (hashEnd == payload.end()) {
        return Answer::fail(Frame::InvalidValue);
    }
    auto saltEnd = std::find(hashEnd + 1, payload.end(), 0);
    if (saltEnd == payload.end() || saltEnd + 1 != payload.end()) {
        return Answer::fail(Frame::InvalidValue);
    }
    const std::string hash(payload.begin() + 2, hashEnd);
    const std::string salt(hashEnd + 1, saltEnd);
    if (hash == "0" && salt == "0") {
        main.preauth.reset();
        return Answer{};
    }
    if (hash.size() != HashLength) {
        return Answer::fail(Frame::InvalidValue);
    }
    main.preauth = Preauth{hash, salt};
    return Answer{};
}

Answer Machine::disarm(Bytes const& payload) {
    // 01, n + 1 zero bytes, then the n password bytes.
    if (payload.size() % 2 != 0) {
        return Answer::fail(Frame::InvalidValue);
    }
    const size_t n = (payload.size() - 2) / 2;
    for (size_t i = 1; i <= n + 1; ++i) {
        if (payload[i] != 0) {
            return Answer::fail(Frame::InvalidValue);
        }
    }
    counters.disarmAttempt();
    const std::string password(payload.begin() + n + 2, payload.end());
    bool const ok = password == main.password;
    main.disarmed = main.disarmed || ok;
    Answer a;
    a.payload.push_back(ok ? 1 : 0);
    return a;
}

std::optional<size_t> Machine::secretFrom(Frame const& request) {
    if (request.command != Frame::Misc || request.slot != MiscFiles || !isDisarm(request.payload)) {
        return std::nullopt;
    }
    return request.payload.size() / 2 + 1;
}

std::string Machine::summarize(Frame const& request) const {
    Lock lock(mutex);
    Bytes const& p = request.payload;
    if (request.address == Frame::AddressBroadcast) {
        return "broadcast " + (request.command == Frame::Heartbeat ? std::string("heartbeat")
                               : request.command == Frame::Misc && request.slot == 0
                                   ? std::string("reboot")
                               : request.command == Frame::Misc && request.slot == 1
                                   ? std::string("restore defaults")
                                   : "command " + std::to_string(request.command));
    }
    auto it = boards.find(request.address);
    if (it == boards.end()) {
        return "to unknown address " + std::to_string(request.address);
    }
    if (request.command != Frame::Misc || !isMainSlot(request.slot)) {
        return it->second.summarize(request);
    }
    switch (request.slot) {
    case MiscClock:
        return p.empty() ? "clock get" : "clock set";
    case MiscNetwork:
        return "network" + (p.empty() ? std::string() : " sub " + std::to_string(p[0]));
    case MiscSecurity:
        return "security";
    case MiscBusReport:
        return "bus report";
    default:
        if (p.empty()) {
            return "file";
        }
        if (isDisarm(p)) {
            return "disarm len=" + std::to_string(p.size() / 2 - 1);
        }
        return main.files.summarize(p);
    }
}

void Machine::setGatewayOnline(bool online) {
    Lock lock(mutex);
    main.behaviour.gatewayOnline = online;
}

void Machine::reboot(uint8_t address) {
    Lock lock(mutex);
    board(address).reboot(Clock::now(), counters);
}

void Machine::powerCycle(uint8_t address) {
    Lock lock(mutex);
    board(address).powerCycle(Clock::now(), counters);
}

int32_t Machine::clockLocked(Clock::time_point now) const {
    auto elapsed = std::chrono::duration_cast<std::chrono::seconds>(now - clockSetAt).count();
    return int32_t(uint32_t(clockBase) + uint32_t(elapsed));
}

int32_t Machine::clock() const {
    Lock lock(mutex);
    return clockLocked(Clock::now());
}

void Machine::setClock(int32_t clock) {
    Lock lock(mutex);
    clockBase = clock;
    clockSetAt = Clock::now();
}

BusReport Machine::busReportLocked(Clock::time_point now) const {
    if (main.busReport) {
        return *main.busReport;
    }
    BusReport r;
    for (auto const& [address, b] : boards) {
        if (address == AddressMain) {
            continue;
        }
        ++r.total;
        r.connected += b.awake(now) ? 1 : 0;
    }
    r.rx = toBoards;
    r.tx = fromBoards;
    r.quality = 100;
    return r;
}

} // namespace boardsim
