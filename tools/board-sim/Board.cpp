#include "Board.h"

#include "FirmwareInstaller.h"
#include "LittleEndian.h"

#include <stdexcept>

namespace boardsim {

namespace {

constexpr uint32_t TransitionFlag = 0x01000000;
constexpr uint32_t LightValueMask = 0x00FFFFFF;
constexpr size_t PatternStepSize = 8;

Bytes i32(int32_t v) {
    Bytes out;
    LittleEndian::put32(out, uint32_t(v));
    return out;
}

bool outOfRange(SlotSpec const& slot, int32_t v) {
    if (slot.kind == SlotKind::Enum && slot.enumCount && (v < 0 || v >= *slot.enumCount)) {
        return true;
    }
    return (slot.min && v < *slot.min) || (slot.max && v > *slot.max);
}

} // namespace

Board::Board(BoardSpec const& boardSpec, Clock::time_point now)
    : present(boardSpec.present), info(boardSpec.info), status(boardSpec.status),
      errors(boardSpec.errors), statusN(boardSpec.statusN),
      bootloaderStatus(boardSpec.bootloader.status), bootloaderFlags(boardSpec.bootloader.flags),
      spec(boardSpec), telemetry(boardSpec.telemetry), config(boardSpec.config), bootStart(now),
      bootDeadline(now), uptimeBase(boardSpec.uptimeStart) {}

uint32_t Board::uptime(Clock::time_point now) const {
    auto elapsed = std::chrono::duration_cast<std::chrono::seconds>(now - bootStart).count();
    return uptimeBase + uint32_t(elapsed);
}

void Board::setUptime(Clock::time_point now, uint32_t seconds) {
    bootStart = now;
    uptimeBase = seconds;
}

SlotSpec& Board::slot(bool configTable, uint8_t slot) {
    auto& table = configTable ? config : telemetry;
    auto it = table.find(slot);
    if (it == table.end()) {
        throw std::out_of_range("board " + std::to_string(spec.address) + " has no " +
                                (configTable ? "config" : "telemetry") + " slot " +
                                std::to_string(slot));
    }
    return it->second;
}

void Board::reboot(Clock::time_point now, Counters& counters) {
    setUptime(now, 0);
    bootDeadline = now + std::chrono::milliseconds(spec.bootMs);
    scratchpad.fill(0);
    receiver.reset();
    upload.reset();
    counters.reboot(spec.address);
    if (pending) {
        bootloaderStatus =
            FirmwareInstaller::install(*pending, spec.address, bootloaderFlags, info);
        if (bootloaderStatus == FirmwareInstaller::UpdateOk) {
            counters.uploadInstalled(spec.address);
        }
        pending.reset();
    }
}

void Board::restoreDefaults() {
    config = spec.config;
}

void Board::powerCycle(Clock::time_point now, Counters& counters) {
    reboot(now, counters);
    restoreDefaults();
}

std::optional<Answer> Board::handle(Frame const& request, Clock::time_point now,
                                    Behaviour const& behaviour, Counters& counters) {
    switch (request.command) {
    case Frame::Heartbeat:
        return heartbeat(now, behaviour);
    case Frame::Status:
        return statusRead(request.slot, behaviour);
    case Frame::Telemetry:
        return slotRead(telemetry, request.slot);
    case Frame::ConfigGet:
        return slotRead(config, request.slot);
    case Frame::ConfigSet:
        return configSet(request, counters);
    case Frame::Action:
        return action(request.slot, counters);
    case Frame::Misc:
        break;
    default:
        return Answer::fail(Frame::ProtocolError);
    }
    switch (request.slot) {
    case MiscReboot: {
        const Answer answer = behaviour.rebootReply == RebootReply::None ? Answer::none()
                              : behaviour.rebootReply == RebootReply::Err82
                                  ? Answer::fail(Frame::NodeTimeout)
                                  : Answer{};
        reboot(now, counters);
        return answer;
    }
    case MiscRestore:
        restoreDefaults();
        return Answer{};
    case MiscInfo:
        return boardInfo();
    case MiscBootloader:
        return bootloader(request.payload, counters);
    case MiscScratchpad:
        return scratchpadCommand(request.payload);
    default: {
        auto light = config.find(request.slot);
        if (light != config.end() && light->second.light) {
            return pattern(request, counters);
        }
        return std::nullopt;
    }
    }
}

Answer Board::heartbeat(Clock::time_point now, Behaviour const& behaviour) const {
    switch (behaviour.heartbeatPayload) {
    case HeartbeatPayload::Empty:
        return Answer{};
    case HeartbeatPayload::Explicit: {
        return Answer::of(behaviour.heartbeatBytes);
    }
    default: {
        Answer answer;
        LittleEndian::put32(answer.payload, uptime(now));
        return answer;
    }
    }
}

Answer Board::statusRead(uint8_t slot, Behaviour const& behaviour) const {
    Answer answer;
    if (slot == 0) {
        LittleEndian::put32(answer.payload, status);
        LittleEndian::put32(answer.payload, errors);
        return answer;
    }
    auto it = statusN.find(slot);
    if (it == statusN.end()) {
        return Answer::fail(Frame::InvalidSlot);
    }
    answer.payload = i32(it->second.code);
    answer.payload.insert(answer.payload.end(), it->second.text.begin(), it->second.text.end());
    if (!behaviour.noTerminator) {
        answer.payload.push_back(0);
    }
    return answer;
}

Answer Board::slotRead(std::map<uint8_t, SlotSpec> const& table, uint8_t slot) const {
    auto it = table.find(slot);
    if (it == table.end()) {
        return Answer::fail(Frame::InvalidSlot);
    }
    return Answer::of(i32(it->second.raw));
}

Answer Board::configSet(Frame const& request, Counters& counters) {
    if (request.payload.size() < 4) {
        return Answer::fail(Frame::ProtocolError);
    }
    auto it = config.find(request.slot);
    if (it == config.end()) {
        return Answer::fail(Frame::InvalidSlot);
    }
    SlotSpec& slot = it->second;
    const uint32_t word = LittleEndian::get32(request.payload, 0);
    if (slot.light) {
        // Bit 24 asks for a transition; the board keeps the target and echoes the request.
        const int32_t target = int32_t(word & LightValueMask);
        if (outOfRange(slot, target)) {
            return Answer::fail(Frame::InvalidValue);
        }
        slot.raw = target;
        counters.transition(TransitionRecord{spec.address, request.slot, uint32_t(target),
                                             (word & TransitionFlag) != 0});
        return Answer::echoing(Bytes(request.payload.begin(), request.payload.begin() + 4));
    }
    if (slot.kind == SlotKind::Bool) {
        slot.raw = request.payload[0] != 0 ? 1 : 0;
    } else {
        if (outOfRange(slot, int32_t(word))) {
            return Answer::fail(Frame::InvalidValue);
        }
        slot.raw = int32_t(word & slot.writableMask);
    }
    return Answer::echoing(i32(slot.raw));
}

Answer Board::action(uint8_t slot, Counters& counters) {
    auto it = spec.actions.find(slot);
    if (it == spec.actions.end()) {
        return Answer::fail(Frame::InvalidSlot);
    }
    counters.action(spec.address, slot);
    return Answer::of(i32(it->second));
}

Answer Board::boardInfo() const {
    Answer answer;
    Bytes& out = answer.payload;
    out.insert(out.end(), info.firmwareName.begin(), info.firmwareName.end());
    out.push_back(0);
    LittleEndian::put16(out, info.firmwareVersion);
    out.insert(out.end(), info.boardName.begin(), info.boardName.end());
    out.push_back(0);
    out.push_back(info.boardVersion);
    out.insert(out.end(), info.boardId.begin(), info.boardId.end());
    return answer;
}

Answer Board::bootloader(Bytes const& payload, Counters& counters) {
    if (payload.empty()) {
        return Answer::fail(Frame::ProtocolError);
    }
    const uint8_t sub = payload[0];
    if (sub == 0) {
        if (payload.size() < 3) {
            return Answer::fail(Frame::ProtocolError);
        }
        auto step = receiver.receive(payload, spec.bootloader.capacity);
        if (step.headerAccepted) {
            upload = counters.uploadStarted(UploadRecord{
                spec.address, receiver.length(), receiver.crc(), receiver.count(), false, false});
        }
        if (step.image) {
            pending = std::move(step.image);
            if (upload) {
                counters.uploadCommitted(*upload);
            }
        }
        return Answer::resulting(step.result);
    }
    if (sub > 3) {
        return Answer::fail(Frame::InvalidValue);
    }
    if (payload.size() != (sub == 3 ? 3u : 1u)) {
        return Answer::fail(Frame::ProtocolError);
    }
    if (sub == 3) {
        bootloaderFlags = LittleEndian::get16(payload, 1) & spec.bootloader.flagsWritableMask;
    }
    Answer answer;
    LittleEndian::put16(answer.payload, sub == 1 ? bootloaderStatus : bootloaderFlags);
    answer.echo = sub == 3;
    return answer;
}

Answer Board::scratchpadCommand(Bytes const& payload) {
    if (payload.empty()) {
        return Answer::fail(Frame::ProtocolError);
    }
    switch (payload[0]) {
    case 0:
        if (payload.size() < 2) {
            return Answer::fail(Frame::ProtocolError);
        }
        return Answer::of(i32(scratchpad[payload[1]]));
    case 1:
        if (payload.size() < 6) {
            return Answer::fail(Frame::ProtocolError);
        }
        scratchpad[payload[1]] = int32_t(LittleEndian::get32(payload, 2));
        return Answer::echoing(i32(scratchpad[payload[1]]));
    case 2:
        scratchpad.fill(0);
        return Answer{};
    default:
        return Answer::fail(Frame::InvalidValue);
    }
}

Answer Board::pattern(Frame const& request, Counters& counters) {
    Bytes const& p = request.payload;
    // The count byte must describe the payload: a pattern cut to 8 bits is refused.
    if (p.size() < 2 || p.size() != 2 + PatternStepSize * p[0]) {
        return Answer::fail(Frame::InvalidValue);
    }
    PatternRecord record{spec.address, request.slot, p[1], {}};
    for (size_t at = 2; at < p.size(); at += PatternStepSize) {
        record.steps.push_back(
            PatternStep{p[at], p[at + 1], p[at + 2], p[at + 3], LittleEndian::get32(p, at + 4)});
    }
    counters.pattern(record);
    return Answer{};
}

std::string Board::summarize(Frame const& request) const {
    const std::string slot = std::to_string(request.slot);
    switch (request.command) {
    case Frame::Heartbeat:
        return "heartbeat";
    case Frame::Status:
        return "status " + slot;
    case Frame::Telemetry:
        return "telemetry " + slot;
    case Frame::ConfigGet:
        return "config get " + slot;
    case Frame::ConfigSet:
        return "config set " + slot +
               (request.payload.size() >= 4
                    ? " = " + std::to_string(int32_t(LittleEndian::get32(request.payload, 0)))
                    : "");
    case Frame::Action:
        return "action " + slot;
    case Frame::Misc:
        break;
    default:
        return "unknown command " + std::to_string(request.command);
    }
    Bytes const& p = request.payload;
    switch (request.slot) {
    case MiscReboot:
        return "reboot";
    case MiscRestore:
        return "restore defaults";
    case MiscInfo:
        return "board info";
    case MiscBootloader:
        if (p.size() >= 3 && p[0] == 0) {
            const uint16_t index = LittleEndian::get16(p, 1);
            if (index == 0) {
                return p.size() == FirmwareReceiver::HeaderSize
                           ? "ota header len=" + std::to_string(LittleEndian::get32(p, 3)) +
                                 " count=" + std::to_string(LittleEndian::get16(p, 11))
                           : "ota header";
            }
            return "ota seg " + std::to_string(index) + "/" +
                   (receiver.receiving() ? std::to_string(receiver.count()) : "?") +
                   " len=" + std::to_string(p.size() - 3);
        }
        return p.empty() ? "bootloader" : "bootloader sub " + std::to_string(p[0]);
    case MiscScratchpad:
        if (p.size() >= 2 && p[0] <= 1) {
            return std::string(p[0] == 0 ? "scratchpad get " : "scratchpad set ") +
                   std::to_string(p[1]);
        }
        return "scratchpad" + (p.empty() ? std::string() : " sub " + std::to_string(p[0]));
    default:
        if (p.size() >= 2) {
            return "light pattern " + slot + " steps=" + std::to_string(p[0]) +
                   " repeat=" + std::to_string(p[1]);
        }
        return "misc " + slot;
    }
}

} // namespace boardsim
