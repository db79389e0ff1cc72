#include "bus/Parser.h"

#include "bus/Packet.h"
#include "bus/Trace.h"

namespace velt::ZRV480::Bus {

using Common::ec2str;
using Common::ErrorCode;
using namespace std::chrono_literals;

const Parser::Exchange Parser::valueExchange{true, 0ms, Log::Level::Debug, false};
const Parser::Exchange Parser::fileExchange{false, 5000ms, Log::Level::Warning, false};
const Parser::Exchange Parser::filePassExchange{false, 5000ms, Log::Level::Warning, true};
const Parser::Exchange Parser::otaPassExchange{false, 5000ms, Log::Level::Debug, true};

ErrorCode Parser::exchange(Packet const& request, Exchange const& how, Trace const& trace,
                           std::vector<uint8_t>& payload) {
    Packet reply;
    ErrorCode result = send(request, reply, how.retry, how.timeout);
    if (result == ErrorCode::Success) {
        payload = reply.getPayload();
        return result;
    }
    bool timedOut = result == ErrorCode::Timeout || result == ErrorCode::BusTimeout;
    if (!(how.quietTimeouts && timedOut)) {
        logTrace(how.failureLevel, trace, result);
    }
    return result;
}

void Parser::logTrace(Log::Level level, Trace const& trace) const {
    if (Log::isEnabled(level)) {
        log(level, "%s", trace.c_str());
    }
}

void Parser::logTrace(Log::Level level, Trace const& trace, ErrorCode result) const {
    if (Log::isEnabled(level)) {
        log(level, "%s : %s", trace.c_str(), ec2str(result).c_str());
    }
}

ErrorCode Parser::query(Packet const& request, Trace const& trace, size_t minimum,
                        ShortReply shortReply, std::vector<uint8_t>& payload) {
    logTrace(Log::Level::Debug, trace);
    ErrorCode result = exchange(request, valueExchange, trace, payload);
    if (result != ErrorCode::Success) {
        return result;
    }
    if (payload.size() < minimum) {
        if (shortReply == ShortReply::Warned) {
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
        if (!running) {
            return ErrorCode::Timeout; // stopped: a new pass could not send a thing
        }
        if (number > restarts) {
            log(Log::Level::Warning, "%s", stopText);
            return ErrorCode::Timeout;
        }
        log(Log::Level::Warning, "%s", retryText);
    }
}

} // namespace velt::ZRV480::Bus
