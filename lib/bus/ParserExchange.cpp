#include "bus/Parser.h"
#include "bus/Protocol.h"

namespace velt::ZRV480::Bus {

using Common::ec2str;
using Common::ErrorCode;
using namespace std::chrono_literals;

const Parser::Exchange Parser::valueExchange{true, 0ms, Log::Level::Debug, false};
const Parser::Exchange Parser::fileExchange{false, 5000ms, Log::Level::Warning, false};
const Parser::Exchange Parser::filePassExchange{false, 5000ms, Log::Level::Warning, true};
const Parser::Exchange Parser::otaPassExchange{false, 5000ms, Log::Level::Debug, true};

ErrorCode Parser::exchange(Packet const& request, Exchange const& how, std::string const& trace,
                           std::vector<uint8_t>& payload) {
    Packet reply;
    ErrorCode result = send(request, reply, how.retry, how.timeout);
    if (result == ErrorCode::Success) {
        payload = reply.getPayload();
        return result;
    }
    bool timedOut = result == ErrorCode::Timeout || result == ErrorCode::BusTimeout;
    if (!(how.quietTimeouts && timedOut)) {
        log(how.failureLevel, "%s : %s", trace.c_str(), ec2str(result).c_str());
    }
    return result;
}

ErrorCode Parser::query(Packet const& request, std::string const& trace, size_t minimum,
                        bool warnShort, std::vector<uint8_t>& payload) {
    log(Log::Level::Debug, "%s", trace.c_str());
    ErrorCode result = exchange(request, valueExchange, trace, payload);
    if (result != ErrorCode::Success) {
        return result;
    }
    if (payload.size() < minimum) {
        if (warnShort) {
            log(Log::Level::Warning, "MalformedResponse");
        }
        return ErrorCode::MalformedResponse;
    }
    return ErrorCode::Success;
}

ErrorCode Parser::transferPasses(uint64_t restarts, char const* retryText, char const* stopText,
                                 std::function<ErrorCode()> const& pass) {
    // 64 bits: the pass number cannot wrap before the bound is reached.
    for (uint64_t number = 1;; ++number) {
        ErrorCode result = pass();
        if (result != ErrorCode::Timeout && result != ErrorCode::BusTimeout) {
            return result;
        }
        if (number > restarts) {
            log(Log::Level::Warning, "%s", stopText);
            return ErrorCode::Timeout;
        }
        log(Log::Level::Warning, "%s", retryText);
    }
}

bool Parser::segmentCount(size_t length, uint16_t& count) {
    size_t segments = (length + Protocol::SegmentSize - 1) / Protocol::SegmentSize;
    if (segments > UINT16_MAX) {
        return false;
    }
    count = static_cast<uint16_t>(segments);
    return true;
}

void Parser::segmentAppend(std::vector<uint8_t>& payload, std::vector<uint8_t> const& data,
                           uint32_t k) {
    size_t begin = (k - 1) * Protocol::SegmentSize;
    size_t end = std::min(begin + Protocol::SegmentSize, data.size());
    payload.insert(payload.end(), data.begin() + begin, data.begin() + end);
}

float Parser::segmentPercent(uint32_t k, uint16_t count) {
    return static_cast<float>(k) / static_cast<float>(count) * 100.0f;
}

uint16_t Parser::uint16At(std::vector<uint8_t> const& bytes, size_t offset) {
    return static_cast<uint16_t>(bytes.at(offset) | bytes.at(offset + 1) << 8);
}

uint32_t Parser::uint32At(std::vector<uint8_t> const& bytes, size_t offset) {
    return static_cast<uint32_t>(uint16At(bytes, offset)) |
           static_cast<uint32_t>(uint16At(bytes, offset + 2)) << 16;
}

int32_t Parser::int32At(std::vector<uint8_t> const& bytes, size_t offset) {
    return static_cast<int32_t>(uint32At(bytes, offset));
}

void Parser::uint16Append(std::vector<uint8_t>& bytes, uint16_t value) {
    bytes.push_back(static_cast<uint8_t>(value));
    bytes.push_back(static_cast<uint8_t>(value >> 8));
}

void Parser::uint32Append(std::vector<uint8_t>& bytes, uint32_t value) {
    uint16Append(bytes, static_cast<uint16_t>(value));
    uint16Append(bytes, static_cast<uint16_t>(value >> 16));
}

} // namespace velt::ZRV480::Bus
