#pragma once

#include <stdexcept>
#include <string>

namespace boardsim {

// The simulator never listens anywhere but on the loopback address.
struct BindAddress {
    static constexpr char const* Loopback = "127.0.0.1";

    static void require(std::string const& address) {
        if (address != Loopback) {
            throw std::invalid_argument("refusing to bind to '" + address +
                                        "': only 127.0.0.1 is allowed");
        }
    }
};

} // namespace boardsim
