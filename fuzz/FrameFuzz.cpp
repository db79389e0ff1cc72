// Datagrams from the bus: the frame layout, and the listener's hand-over of
// a frame to the request waiting for it (none is waiting here).
#include "bus/ErrorCode.h"
#include "bus/Packet.h"
#include "bus/Parser.h"
#include "foundation/Log.h"

#include <cstdint>
#include <cstdlib>
#include <vector>

using velt::ZRV480::Bus::Packet;
using velt::ZRV480::Bus::Parser;
using velt::ZRV480::Bus::Common::ErrorCode;

extern "C" int LLVMFuzzerTestOneInput(uint8_t const* data, size_t size) {
    static bool const quiet = (Log::setLevel(Log::Level::Error), true);
    static Parser parser({{0, "mainBoard"}, {1, "psu"}, {16, "lights"}});
    (void)quiet;

    std::vector<uint8_t> const bytes(data, data + size);
    parser.onSocketData(bytes);

    Packet packet;
    if (Packet::fromBytes(bytes, packet) != ErrorCode::Success) {
        return 0;
    }
    (void)packet.toLogText(packet.getSequence());
    // A frame that parses is rebuilt from its parts unchanged.
    if (packet.isError()) {
        return 0;
    }
    Packet const rebuilt(packet.getAddress(), packet.getCommand(), packet.getSlot(),
                         packet.getPayload());
    Packet again;
    if (Packet::fromBytes(rebuilt.toBytes(packet.getSequence()), again) != ErrorCode::Success ||
        again.getPayload() != packet.getPayload() || again.getSlot() != packet.getSlot()) {
        abort();
    }
    return 0;
}
