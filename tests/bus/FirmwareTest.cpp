#include "bus/Firmware.h"
#include "bus/FirmwareHeader.h"
#include "support/FirmwareImage.h"
#include "support/LogCapture.h"

#include "foundation/Log.h"

#include "support/TempDir.h"

#include <gtest/gtest.h>

#include "support/RandomInput.h"
#include <random>

using namespace velt::ZRV480::Bus::ValueObjects;

namespace {

using testsupport::ImageHeader;

// An image of the given size filled with 0xAA, with a header at each offset.
std::vector<uint8_t> image(size_t size,
                           std::vector<std::pair<size_t, ImageHeader>> const& headers) {
    std::vector<uint8_t> bytes(size, 0xAA);
    for (auto const& [offset, header] : headers) {
        testsupport::putImageHeader(bytes, offset, header);
    }
    return bytes;
}

// Builds a header from an image while capturing the debug lines.
struct Searched {
    explicit Searched(std::vector<uint8_t> const& bytes) {
        testsupport::LogCapture capture;
        Log::setLevel(Log::Level::Debug);
        header = FirmwareHeader(bytes);
        log = capture.text();
    }
    FirmwareHeader header;
    std::string log;
};

size_t occurrences(std::string const& text, std::string const& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++count;
    }
    return count;
}

TEST(FirmwareHeaderTest, WindowsAreTriedInOrderWhileTheImageHoldsThem) {
    ImageHeader wrongMagic;
    wrongMagic.magic = 0xDEADBEEF;
    struct Case {
        char const* name;
        std::vector<uint8_t> bytes;
        bool valid;
        std::vector<std::string> seeks;
    };
    const Case cases[] = {
        {"too short for a header", image(0x1FF, {}), false, {}},
        {"exactly one window", image(0x200, {{0x100, {}}}), true, {"0x0100"}},
        {"second window",
         image(0x3200, {{0x100, wrongMagic}, {0x3100, {}}}),
         true,
         {"0x0100", "0x3100"}},
        {"third window not held", image(0x4000, {}), false, {"0x0100", "0x3100"}},
        {"third window", image(0x5200, {{0x5100, {}}}), true, {"0x0100", "0x3100", "0x5100"}},
        {"first valid wins", image(0x3200, {{0x100, {}}, {0x3100, wrongMagic}}), true, {"0x0100"}},
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(c.name);
        const Searched searched(c.bytes);
        EXPECT_EQ(searched.header.isValid(), c.valid);
        EXPECT_EQ(occurrences(searched.log, "Seeking valid header"), c.seeks.size())
            << searched.log;
        for (std::string const& offset : c.seeks) {
            EXPECT_EQ(
                occurrences(searched.log,
                            "[Board::Firmware] Seeking valid header at offset " + offset + ".\n"),
                1u)
                << searched.log;
        }
    }
}

TEST(FirmwareHeaderTest, WrongMagicIsLoggedThenTheNextWindowIdentifies) {
    ImageHeader wrongMagic;
    wrongMagic.magic = 0x0BADC0DE;
    const Searched searched(image(0x3200, {{0x100, wrongMagic}, {0x3100, {}}}));
    std::string const& log = searched.log;
    const size_t seek1 = log.find("Seeking valid header at offset 0x0100.");
    const size_t magic = log.find("Header is invalid (magic=0x0badc0de)");
    const size_t seek2 = log.find("Seeking valid header at offset 0x3100.");
    const size_t identity = log.find("[Board::Firmware] RELEASE: psu (1.2.4) for psu-R2 by Velt\n");
    ASSERT_NE(identity, std::string::npos) << log;
    EXPECT_LT(seek1, magic);
    EXPECT_LT(magic, seek2);
    EXPECT_LT(seek2, identity);
}

TEST(FirmwareHeaderTest, FieldsAndBuildKinds) {
    struct Case {
        std::string build;
        bool valid;
        FirmwareHeader::Build kind;
    };
    const Case cases[] = {
        {"RELEASE", true, FirmwareHeader::RELEASE},     {"OTA", true, FirmwareHeader::OTA},
        {"DEBUG-nightly", true, FirmwareHeader::DEBUG}, {"debug", false, FirmwareHeader::RELEASE},
        {"", false, FirmwareHeader::RELEASE},
    };
    for (auto const& c : cases) {
        ImageHeader fields;
        fields.build = c.build;
        const Searched searched(image(0x200, {{0x100, fields}}));
        EXPECT_EQ(searched.header.isValid(), c.valid) << c.build;
        EXPECT_EQ(searched.header.getBuild(), c.kind) << c.build;
        if (!c.valid) {
            EXPECT_NE(searched.log.find("Invalid build: " + c.build + "\n"), std::string::npos)
                << searched.log;
        }
    }

    ImageHeader fields;
    fields.company = std::string(32, 'C'); // fills the field, no terminating zero
    fields.firmware = "lights";
    fields.version = 15;
    fields.board = "lightController";
    fields.revision = 4000000000u;
    fields.build = "OTA";
    const FirmwareHeader header(image(0x200, {{0x100, fields}}));
    ASSERT_TRUE(header.isValid());
    EXPECT_EQ(header.getCompany(), std::string(32, 'C'));
    EXPECT_EQ(header.getFirmware(), "lights");
    EXPECT_EQ(header.getVersion(), 15);
    EXPECT_EQ(header.getBoard(), "lightController-R4000000000");
}

TEST(FirmwareHeaderTest, ShortWindowIsRefused) {
    FirmwareHeader header;
    const std::vector<uint8_t> full = image(0x200, {{0x100, {}}});
    EXPECT_FALSE(
        header.readHeader(std::vector<uint8_t>(full.begin() + 0x100, full.begin() + 0x180)));
    EXPECT_TRUE(header.readHeader(std::vector<uint8_t>(full.begin() + 0x100, full.end())));
}

TEST(FirmwareHeaderTest, TextConversions) {
    const std::pair<uint8_t, char const*> versions[] = {
        {123, "1.2.3"}, {5, "0.0.5"}, {255, "2.5.5"}, {0, "0.0.0"}, {100, "1.0.0"}};
    for (auto const& [version, text] : versions) {
        EXPECT_EQ(FirmwareHeader::versionToStr(version), text);
    }
    EXPECT_EQ(FirmwareHeader::buildToStr(FirmwareHeader::RELEASE), "RELEASE");
    EXPECT_EQ(FirmwareHeader::buildToStr(FirmwareHeader::OTA), "OTA");
    EXPECT_EQ(FirmwareHeader::buildToStr(FirmwareHeader::DEBUG), "DEBUG");
    EXPECT_EQ(FirmwareHeader::buildToStr(static_cast<FirmwareHeader::Build>(3)), "UNKNOWN_BUILD");
    EXPECT_EQ(FirmwareHeader::strToVersion("v1.2.3"), 123);
    EXPECT_EQ(FirmwareHeader::strToVersion("1.0.2"), 102);
}

using FirmwareFileTest = bustest::TempDir;

TEST_F(FirmwareFileTest, ValidImageKeepsTheWholeFile) {
    const std::vector<uint8_t> bytes = image(0x3300, {{0x3100, {}}});
    const Firmware firmware(write("psu.bin", bytes));
    EXPECT_TRUE(firmware.isValid());
    EXPECT_EQ(firmware.getBinary(), bytes);
    EXPECT_EQ(firmware.getHeader().getBoard(), "psu-R2");
    EXPECT_EQ(firmware.getFilepath(), dir + "/psu.bin");

    const Firmware copy = firmware;
    EXPECT_TRUE(copy.isValid());
    EXPECT_EQ(copy.getHeader().getVersion(), 124);
}

TEST_F(FirmwareFileTest, UnusableFilesAreInvalid) {
    const std::string cases[] = {
        dir + "/missing.bin", write("short.bin", image(0x1FF, {})),
        write("no-header.bin", image(0x6000, {})),
        dir, // a directory cannot be read whole
    };
    for (std::string const& path : cases) {
        const Firmware firmware(path);
        EXPECT_FALSE(firmware.isValid()) << path;
        EXPECT_EQ(firmware.getFilepath(), path);
    }
    EXPECT_TRUE(Firmware(dir + "/missing.bin").getBinary().empty());
}

using bustest::below;
using bustest::Budget;
using bustest::Bytes;
using bustest::randomBytes;
using namespace std::chrono_literals;

// ------------------------------------------------------- firmware images

// An image with a valid header in the window at 0x100.
Bytes validImage(size_t size) {
    ImageHeader header;
    header.build = "OTA";
    return image(size, {{0x100, header}});
}

TEST_F(FirmwareFileTest, ReadersSurviveRandomAndCutImages) {
    std::mt19937 random(7);
    Budget budget(4000ms);
    Bytes const valid = validImage(0x200 + 77);
    ASSERT_TRUE(FirmwareHeader(valid).isValid());

    for (int i = 0; i < 400 && !budget.spent(); ++i) {
        SCOPED_TRACE(::testing::Message() << "image " << i);
        Bytes image;
        switch (i % 4) {
        case 0: // noise of any size up to beyond the last window
            image = randomBytes(random, below(random, 0x5300));
            break;
        case 1: // the valid image cut anywhere
            image.assign(valid.begin(), valid.begin() + below(random, valid.size() + 1));
            break;
        case 2: // the valid image with a few bytes of its header flipped
            image = valid;
            for (int flips = 0; flips < 4; ++flips) {
                image[0x100 + below(random, 256)] ^= static_cast<uint8_t>(1 + below(random, 255));
            }
            break;
        default: // text fields without their terminating zero
            image = valid;
            std::fill(image.begin() + 0x104, image.begin() + 0x100 + 140, 'X');
            std::copy_n("DEBUG", 5, image.begin() + 0x100 + 108);
            break;
        }
        FirmwareHeader const header(image);
        bool const whole = image.size() >= 0x200;
        if (!whole) {
            EXPECT_FALSE(header.isValid());
        }
        if (header.isValid()) {
            EXPECT_LE(header.getCompany().size(), 32u);
            EXPECT_LE(header.getFirmware().size(), 32u);
        }
        if (i % 4 == 3) {
            EXPECT_TRUE(header.isValid());
            EXPECT_EQ(header.getCompany(), std::string(32, 'X'));
        }

        // The file reader keeps the whole content or nothing.
        Firmware const file(write("fw.bin", image));
        EXPECT_EQ(file.isValid(), header.isValid());
        EXPECT_EQ(file.getBinary(), image);
    }
    for (std::string const& path : {dir + "/absent.bin", dir}) {
        Firmware const unreadable(path);
        EXPECT_FALSE(unreadable.isValid()) << path;
        EXPECT_TRUE(unreadable.getBinary().empty()) << path;
    }
}

} // namespace
