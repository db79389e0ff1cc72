#include "Crc32.h"
#include "FirmwareReceiver.h"
#include "LittleEndian.h"
#include "support/SimClient.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

using boardsim::Bytes;
using boardsim::Crc32;
using boardsim::FirmwareReceiver;
using boardsim::LittleEndian;

namespace {

Bytes header(uint32_t length, uint32_t crc, uint16_t count) {
    Bytes p{0, 0, 0};
    LittleEndian::put32(p, length);
    LittleEndian::put32(p, crc);
    LittleEndian::put16(p, count);
    return p;
}

Bytes headerFor(Bytes const& image) {
    return header(uint32_t(image.size()), Crc32::upload(image),
                  uint16_t((image.size() + 127) / 128));
}

Bytes segment(Bytes const& image, uint16_t k) {
    Bytes p{0};
    LittleEndian::put16(p, k);
    const size_t from = size_t(k - 1) * 128;
    const size_t to = std::min(image.size(), from + 128);
    p.insert(p.end(), image.begin() + from, image.begin() + to);
    return p;
}

Bytes image(size_t size) {
    Bytes out(size);
    for (size_t i = 0; i < size; ++i) {
        out[i] = uint8_t(i * 7 + 3);
    }
    return out;
}

const Bytes Image300 = image(300);

Bytes withoutLast(Bytes b) {
    b.pop_back();
    return b;
}

struct Step {
    Bytes payload;
    int16_t result;
};

struct UploadCase {
    char const* name;
    std::vector<Step> steps;
    bool committed;
};

class UploadTest : public ::testing::TestWithParam<UploadCase> {};

} // namespace

TEST_P(UploadTest, followsTheBootloaderStateMachine) {
    FirmwareReceiver receiver;
    std::optional<Bytes> committed;
    for (size_t i = 0; i < GetParam().steps.size(); ++i) {
        Step const& step = GetParam().steps[i];
        auto result = receiver.receive(step.payload, 1024 * 1024);
        EXPECT_EQ(result.result, step.result) << "step " << i;
        if (result.image) {
            committed = result.image;
        }
    }
    EXPECT_EQ(committed.has_value(), GetParam().committed);
    if (committed) {
        EXPECT_EQ(*committed, Image300);
    }
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Uploads, UploadTest, ::testing::Values(
    UploadCase{"commit", {{headerFor(Image300), 0}, {segment(Image300, 1), 0},
                          {segment(Image300, 2), 0}, {segment(Image300, 3), 1}}, true},
    UploadCase{"wrong_index", {{headerFor(Image300), 0}, {segment(Image300, 2), 0x83}}, false},
    UploadCase{"segment_before_header", {{segment(Image300, 1), 0x83}}, false},
    UploadCase{"wrong_length",
               {{headerFor(Image300), 0},
                {withoutLast(segment(Image300, 1)), 0x82}}, false},
    UploadCase{"short_last_segment_length",
               {{headerFor(Image300), 0}, {segment(Image300, 1), 0}, {segment(Image300, 2), 0},
                {withoutLast(segment(Image300, 3)), 0x82}}, false},
    UploadCase{"crc_mismatch",
               {{header(300, Crc32::upload(Image300) ^ 1, 3), 0}, {segment(Image300, 1), 0},
                {segment(Image300, 2), 0}, {segment(Image300, 3), 0x84}}, false},
    UploadCase{"new_header_restarts",
               {{headerFor(Image300), 0}, {segment(Image300, 1), 0}, {segment(Image300, 2), 0},
                {headerFor(Image300), 0}, {segment(Image300, 1), 0}, {segment(Image300, 2), 0},
                {segment(Image300, 3), 1}}, true},
    UploadCase{"count_zero_commits_nothing",
               {{header(0, 0xFFFFFFFF, 0), 0}, {segment(Image300, 1), 0x83}}, false},
    UploadCase{"count_not_matching_length", {{header(300, 0, 2), 0x82}}, false},
    UploadCase{"larger_than_capacity", {{header(2 * 1024 * 1024, 0, 16384), 0x85}}, false},
    UploadCase{"after_commit_is_idle",
               {{headerFor(Image300), 0}, {segment(Image300, 1), 0}, {segment(Image300, 2), 0},
                {segment(Image300, 3), 1}, {segment(Image300, 3), 0x83}}, true}),
    [](const ::testing::TestParamInfo<UploadCase>& paramInfo) { return std::string(paramInfo.param.name); });
// clang-format on

namespace {

// An image with a firmware header window at `offset`.
Bytes firmware(uint8_t version, std::string const& name, size_t offset = 0x100,
               std::string const& build = "RELEASE", size_t size = 0x600) {
    // Built whole, then cut to `size`, which may end inside the window.
    Bytes out = image(std::max(size, offset + 256));
    uint8_t* w = &out[offset];
    const uint8_t magic[] = {0x0C, 0xB1, 0xDE, 0xC0};
    std::memcpy(w, magic, 4);
    std::memset(w + 4, 0, 252);
    std::memcpy(w + 36, name.data(), name.size());
    w[68] = version;
    std::memcpy(w + 72, "psu", 3);
    w[104] = 2;
    std::memcpy(w + 108, build.data(), build.size());
    out.resize(size);
    return out;
}

struct InstallCase {
    char const* name;
    uint8_t address;
    uint16_t flags;
    Bytes image;
    uint16_t status;
    uint16_t version; // after the reboot
};

class InstallTest : public ::testing::TestWithParam<InstallCase> {};

// Sends the whole image over the bus and returns the last result.
int16_t upload(SimClient& client, uint8_t address, Bytes const& image) {
    auto reply = client.exchange(request(address, 0, 5, 240, headerFor(image)));
    for (uint16_t k = 1; reply && k <= (image.size() + 127) / 128; ++k) {
        reply = client.exchange(request(address, uint8_t(k), 5, 240, segment(image, k)));
    }
    return reply && reply->size() >= 6 ? int16_t(LittleEndian::get16(*reply, 4)) : -1;
}

} // namespace

TEST_P(InstallTest, installsAtTheNextReboot) {
    SimFixture f;
    InstallCase const& c = GetParam();
    f.sim.setBoardInfo(c.address, {"old", 123, "b", 1, {}});
    f.sim.setBootloaderFlags(c.address, c.flags);
    ASSERT_EQ(upload(f.client, c.address, c.image), 1) << "the upload commits";
    ASSERT_TRUE(f.sim.pendingFirmware(c.address));
    EXPECT_EQ(f.sim.boardInfo(c.address).firmwareVersion, 123) << "nothing before the reboot";

    f.sim.reboot(c.address);
    EXPECT_EQ(f.sim.bootloaderStatus(c.address), c.status);
    EXPECT_EQ(f.sim.boardInfo(c.address).firmwareVersion, c.version);
    EXPECT_FALSE(f.sim.pendingFirmware(c.address));
    auto const uploads = f.sim.counters().uploads();
    ASSERT_EQ(uploads.size(), 1u);
    EXPECT_TRUE(uploads[0].committed);
    EXPECT_EQ(uploads[0].installed, c.status == 0x0001);
    EXPECT_EQ(uploads[0].length, c.image.size());
}

// Flash flags (boards): ignoreFwHeader bit 1, allowReinstall bit 6, allowDowngrade bit 7.
// SD flags (main board): ignoreFwHeader bit 0, allowReinstall bit 4, allowDowngrade bit 5.
// clang-format off
INSTANTIATE_TEST_SUITE_P(Installs, InstallTest, ::testing::Values(
    InstallCase{"upgrade", 1, 0, firmware(124, "new"), 0x0001, 124},
    InstallCase{"no_header", 1, 0, image(0x600), 0x0010, 123},
    InstallCase{"no_header_ignored", 1, 0x0002, image(0x600), 0x0001, 123},
    InstallCase{"lowercase_build_is_no_header", 1, 0, firmware(124, "new", 0x100, "debug"), 0x0010, 123},
    InstallCase{"header_in_second_window", 1, 0, firmware(124, "new", 0x3100, "OTA", 0x3200), 0x0001, 124},
    InstallCase{"smallest_image_with_a_header", 1, 0, firmware(124, "new", 0x100, "OTA", 0x200), 0x0001, 124},
    InstallCase{"window_not_whole", 1, 0, firmware(124, "new", 0x3100, "OTA", 0x3100 + 0xFF), 0x0010, 123},
    InstallCase{"downgrade_refused", 1, 0, firmware(122, "new"), 0x0200, 123},
    InstallCase{"downgrade_allowed", 1, 0x0080, firmware(122, "new"), 0x0001, 122},
    InstallCase{"reinstall_refused", 1, 0, firmware(123, "new"), 0x0100, 123},
    InstallCase{"reinstall_allowed", 1, 0x0040, firmware(123, "new"), 0x0001, 123},
    InstallCase{"main_reinstall_uses_sd_bit", 0, 0x0010, firmware(123, "new"), 0x0001, 123},
    InstallCase{"main_ignores_flash_bit", 0, 0x0040, firmware(123, "new"), 0x0100, 123},
    InstallCase{"main_downgrade_uses_sd_bit", 0, 0x0020, firmware(100, "new"), 0x0001, 100}),
    [](const ::testing::TestParamInfo<InstallCase>& paramInfo) { return std::string(paramInfo.param.name); });
// clang-format on

TEST(Install, takesTheNameFromTheHeader) {
    SimFixture f;
    f.sim.setBoardInfo(1, {"old", 1, "b", 1, {}});
    ASSERT_EQ(upload(f.client, 1, firmware(2, "psu-fw")), 1);
    f.sim.reboot(1);
    EXPECT_EQ(f.sim.boardInfo(1).firmwareName, "psu-fw");
}

TEST(Install, aRebootDuringTheUploadDropsIt) {
    SimFixture f;
    const Bytes fw = firmware(124, "new");
    ASSERT_TRUE(f.client.exchange(request(1, 0, 5, 240, headerFor(fw))));
    ASSERT_TRUE(f.client.exchange(request(1, 1, 5, 240, segment(fw, 1))));
    f.sim.reboot(1);
    ASSERT_TRUE(f.sim.waitBooted(1, 2000));
    auto reply = f.client.exchange(request(1, 2, 5, 240, segment(fw, 2)));
    ASSERT_TRUE(reply);
    EXPECT_EQ(*reply, (Bytes{0xC9, 2, 5, 240, 0x83, 0}));
}

TEST(Install, anEmptyUploadIsRecordedButNeverCommitted) {
    SimFixture f;
    auto reply = f.client.exchange(request(1, 0, 5, 240, header(0, 0xFFFFFFFF, 0)));
    ASSERT_TRUE(reply);
    EXPECT_EQ(*reply, (Bytes{0xC9, 0, 5, 240, 0, 0}));
    auto const uploads = f.sim.counters().uploads();
    ASSERT_EQ(uploads.size(), 1u);
    EXPECT_EQ(uploads[0].count, 0);
    EXPECT_FALSE(uploads[0].committed);
    EXPECT_FALSE(f.sim.pendingFirmware(1));
}

TEST(Install, theLogNamesEachSegment) {
    SimFixture f;
    ASSERT_EQ(upload(f.client, 1, Image300), 1);
    auto const log = f.sim.requests();
    ASSERT_EQ(log.size(), 4u);
    EXPECT_EQ(log[0].summary, "ota header len=300 count=3");
    EXPECT_EQ(log[1].summary, "ota seg 1/3 len=128");
    EXPECT_EQ(log[3].summary, "ota seg 3/3 len=44");
    EXPECT_EQ(log[3].segment, 3);
}
