#include "device/AddressText.h"

#include <gtest/gtest.h>

#include <string>
#include <variant>

namespace {

using namespace velt::ZRV480::BoardManager::Manager::AddressText;

TEST(AddressTextTest, DottedAddressesAreFourDecimalOctets) {
    struct Case {
        char const* text;
        Ipv4 address;
    };
    Case const accepted[] = {
        {"192.168.1.20", {192, 168, 1, 20}},
        {"0.0.0.0", {0, 0, 0, 0}},
        {"255.255.255.255", {255, 255, 255, 255}},
        // Leading zeros are decimal, not octal.
        {"192.168.001.020", {192, 168, 1, 20}},
        {"192.168.1.08", {192, 168, 1, 8}},
    };
    for (auto const& c : accepted) {
        SCOPED_TRACE(c.text);
        auto const parsed = parseIpv4(c.text);
        ASSERT_TRUE(std::holds_alternative<Ipv4>(parsed));
        EXPECT_EQ(std::get<Ipv4>(parsed), c.address);
        EXPECT_EQ(parseIpv4(ipv4ToText(c.address)), parsed);
    }
}

TEST(AddressTextTest, AnythingElseIsRefusedWithItsReason) {
    struct Case {
        char const* text;
        Ipv4Error error;
    };
    Case const refused[] = {
        {"10.0.a.1", Ipv4Error::NotNumeric},  {"-1.0.0.0", Ipv4Error::NotNumeric},
        {"+1.0.0.0", Ipv4Error::NotNumeric},  {" 10.0.0.1", Ipv4Error::NotNumeric},
        {"10.0.0.1 ", Ipv4Error::NotNumeric}, {"0x10.0.0.1", Ipv4Error::NotNumeric},
        {"10,0,0,1", Ipv4Error::NotNumeric},  {"256.0.0.1", Ipv4Error::Malformed},
        {"10.0.0.999", Ipv4Error::Malformed}, {"1234.0.0.1", Ipv4Error::Malformed},
        {"0010.0.0.1", Ipv4Error::Malformed}, {"10.0.0.1.7", Ipv4Error::Malformed},
        {"10..0.0.1", Ipv4Error::Malformed},  {"10.0.0.", Ipv4Error::Malformed},
        {".10.0.0", Ipv4Error::Malformed},    {"10.0.1", Ipv4Error::Malformed},
        {"", Ipv4Error::Malformed},
    };
    for (auto const& c : refused) {
        SCOPED_TRACE(c.text);
        auto const parsed = parseIpv4(c.text);
        ASSERT_TRUE(std::holds_alternative<Ipv4Error>(parsed));
        EXPECT_EQ(std::get<Ipv4Error>(parsed), c.error);
    }
}

TEST(AddressTextTest, MacOctetsAreWrittenInDecimal) {
    EXPECT_EQ(macToText({0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E}), "0:26:43:60:77:94");
    EXPECT_EQ(macToText({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}), "255:255:255:255:255:255");
    EXPECT_EQ(ipv4ToText({10, 0, 0, 1}), "10.0.0.1");
}

} // namespace
