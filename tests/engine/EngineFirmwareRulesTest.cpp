#include "support/EngineFixture.h"
#include "support/FirmwareImage.h"
#include "support/LogCapture.h"

#include "bus/FirmwareHeader.h"

#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

namespace enginetest {
namespace {

using testsupport::firmwareImage;
using testsupport::ImageHeader;
using testsupport::writeFirmwareImage;
using velt::ZRV480::Bus::ValueObjects::BoardInfo;
using velt::ZRV480::Bus::ValueObjects::FirmwareHeader;

FirmwareHeader headerOf(ImageHeader const& fields) {
    return FirmwareHeader(firmwareImage(fields));
}

class EngineFirmwareRules : public EngineFixture {
protected:
    void SetUp() override {
        EngineFixture::SetUp();
        // The power supply as it reports itself: firmware "psu" 1.2.3 on board psu-R2.
        cacheInfo(Psu, ErrorCode::Success, {"psu", 2, {}, "psu", 123});
    }

    void cacheInfo(uint8_t address, ErrorCode code, BoardInfo const& info) {
        engine->editCache(address, [&](BoardCache& cache) { cache.boardInfo = {code, info}; });
    }

    std::string firmwaresDir() const { return appDir() + "/firmwares"; }

    std::string image(std::string const& name, ImageHeader const& fields) {
        writeFirmwareImage(firmwaresDir() + "/" + name, fields);
        return firmwaresDir() + "/" + name;
    }
};

TEST_F(EngineFirmwareRules, BoardRulesRefuseInOrderWithOneLineEach) {
    struct Case {
        char const* what;
        ImageHeader header;
        bool force;
        ErrorCode expected;
        std::string line; // the rule's line, empty when none is refused
    };
    auto with = [](auto change) {
        ImageHeader header;
        change(header);
        return header;
    };
    Case const cases[] = {
        {"newer release", {}, false, ErrorCode::Success, ""},
        {"newer OTA build", with([](auto& h) { h.build = "OTA"; }), false, ErrorCode::Success, ""},
        {"other firmware", with([](auto& h) { h.firmware = "lights"; }), false,
         ErrorCode::InvalidParameter, "Firmware name does not match (lights != psu)"},
        {"other firmware, forced", with([](auto& h) { h.firmware = "lights"; }), true,
         ErrorCode::Success, ""},
        {"other revision", with([](auto& h) { h.revision = 3; }), false,
         ErrorCode::InvalidParameter, "Board name does not match (psu-R3 != psu-R2)"},
        {"board name in other case", with([](auto& h) { h.board = "Psu"; }), false,
         ErrorCode::InvalidParameter, "Board name does not match (Psu-R2 != psu-R2)"},
        {"same version", with([](auto& h) { h.version = 123; }), false, ErrorCode::InvalidParameter,
         "New firmware version must be grater (new=123, current=123)"},
        {"older version", with([](auto& h) { h.version = 122; }), false,
         ErrorCode::InvalidParameter, "New firmware version must be grater (new=122, current=123)"},
        {"older version, forced", with([](auto& h) { h.version = 1; }), true, ErrorCode::Success,
         ""},
        {"debug build", with([](auto& h) { h.build = "DEBUG"; }), false,
         ErrorCode::InvalidParameter, "New firmware build type must be RELEASE (build=DEBUG)"},
        {"debug build, forced", with([](auto& h) { h.build = "DEBUG"; }), true, ErrorCode::Success,
         ""},
        // The firmware name is checked before the version.
        {"other firmware and older", with([](auto& h) {
             h.firmware = "x";
             h.version = 1;
         }),
         false, ErrorCode::InvalidParameter, "Firmware name does not match (x != psu)"},
    };
    for (Case const& c : cases) {
        SCOPED_TRACE(c.what);
        testsupport::LogCapture log;
        EXPECT_EQ(
            engine->upgrades().boardOtaFirmwareUpgradeAllowed(Psu, headerOf(c.header), c.force),
            c.expected);
        std::string const text = log.text();
        EXPECT_NE(text.find("[Engine] Current: psu (1.2.3) for psu-R2"), std::string::npos);
        size_t refusals = 0;
        for (char const* rule : {"does not match", "must be grater", "must be RELEASE"}) {
            for (size_t at = text.find(rule); at != std::string::npos;
                 at = text.find(rule, at + 1)) {
                ++refusals;
            }
        }
        EXPECT_EQ(refusals, c.line.empty() ? 0u : 1u) << text;
        if (!c.line.empty()) {
            EXPECT_NE(text.find("[Engine] " + c.line), std::string::npos) << text;
        }
    }
}

TEST_F(EngineFirmwareRules, VersionsAreComparedWithTheBoardsSixteenBits) {
    cacheInfo(Psu, ErrorCode::Success, {"psu", 2, {}, "psu", 300});
    testsupport::LogCapture log;
    ImageHeader newest;
    newest.version = 255;
    EXPECT_EQ(engine->upgrades().boardOtaFirmwareUpgradeAllowed(Psu, headerOf(newest), false),
              ErrorCode::InvalidParameter);
    EXPECT_EQ(log.count("New firmware version must be grater (new=255, current=300)"), 1u);
}

TEST_F(EngineFirmwareRules, UnreadBoardInformationRefusesEvenAForcedUpgrade) {
    struct Case {
        uint8_t address;
        ErrorCode cached;
        char const* line;
    };
    Case const cases[] = {
        // Never read: the cache's initial code.
        {Light, ErrorCode::Timeout,
         "boardOtaFirmwareUpgradeAllowed(lightController) forced : Timeout"},
        {Psu, ErrorCode::BusTimeout, "boardOtaFirmwareUpgradeAllowed(psu) forced : BusTimeout"},
    };
    cacheInfo(Psu, ErrorCode::BusTimeout, {"psu", 2, {}, "psu", 123});
    for (Case const& c : cases) {
        testsupport::LogCapture log;
        EXPECT_EQ(engine->upgrades().boardOtaFirmwareUpgradeAllowed(c.address, headerOf({}), true),
                  c.cached);
        EXPECT_EQ(log.count(c.line), 1u) << c.line;
    }
}

TEST_F(EngineFirmwareRules, ServiceConsoleRulesUseItsFixedNamesAndTheRecordedVersion) {
    engine->state.with([&](EngineState& s) { s.serviceConsoleVersion = 7; });
    auto service = [](auto change) {
        ImageHeader header{"ZRV480_Service", 8, "ZRV480_Service", 2, "OTA"};
        change(header);
        return header;
    };
    struct Case {
        char const* what;
        ImageHeader header;
        ErrorCode expected;
        std::string line;
    };
    Case const cases[] = {
        {"next version", service([](auto&) {}), ErrorCode::Success, ""},
        {"recorded version", service([](auto& h) { h.version = 7; }), ErrorCode::InvalidParameter,
         "New firmware version must be grater (new=7, current=7)"},
        {"other firmware", service([](auto& h) { h.firmware = "psu"; }),
         ErrorCode::InvalidParameter, "Firmware name does not match (psu != ZRV480_Service)"},
        {"board in other case", service([](auto& h) { h.board = "ZRV480_service"; }),
         ErrorCode::InvalidParameter,
         "Board name does not match (ZRV480_service-R2 != ZRV480_Service-R2)"},
        {"other revision", service([](auto& h) { h.revision = 3; }), ErrorCode::InvalidParameter,
         "Board name does not match (ZRV480_Service-R3 != ZRV480_Service-R2)"},
        {"debug build", service([](auto& h) { h.build = "DEBUG"; }), ErrorCode::InvalidParameter,
         "New firmware build type must be RELEASE (build=DEBUG)"},
    };
    for (Case const& c : cases) {
        SCOPED_TRACE(c.what);
        testsupport::LogCapture log;
        EXPECT_EQ(engine->upgrades().boardOtaFirmwareUpgradeAllowedService(headerOf(c.header)),
                  c.expected);
        std::string const text = log.text();
        EXPECT_NE(text.find("Current: ZRV480_Service (0.0.7) for ZRV480_Service-R2"),
                  std::string::npos);
        if (!c.line.empty()) {
            EXPECT_NE(text.find("[Engine] " + c.line), std::string::npos) << text;
        }
    }
}

TEST_F(EngineFirmwareRules, DirectoriesAreMadeOnceAndAFailureIsLogged) {
    {
        testsupport::LogCapture log;
        ASSERT_TRUE(engine->upgrades().createFirmwareDirectories());
        EXPECT_EQ(log.count("Creating " + firmwaresDir() + " directory"), 1u);
        EXPECT_EQ(log.count("Creating " + firmwaresDir() + "/accepted directory"), 1u);
    }
    struct stat info {};
    ASSERT_EQ(::stat((firmwaresDir() + "/accepted").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0755u);
    {
        testsupport::LogCapture log;
        ASSERT_TRUE(engine->upgrades().createFirmwareDirectories());
        EXPECT_EQ(log.count("Creating"), 0u);
    }

    // Something that is no directory where the images should be.
    std::filesystem::remove_all(firmwaresDir());
    machine.dir.write("app/firmwares", "not a directory");
    testsupport::LogCapture log;
    EXPECT_FALSE(engine->upgrades().createFirmwareDirectories());
    EXPECT_EQ(log.count("Could not create directory " + firmwaresDir() + "/accepted"), 1u);
    EXPECT_EQ(log.count("Could not create firmware sub-directories!"), 1u);
}

TEST_F(EngineFirmwareRules, SearchesTakeTheFirstMatchingImageInFileNameOrder) {
    ASSERT_TRUE(engine->upgrades().createFirmwareDirectories());
    // Created in reverse name order, so the directory's own order is not the answer.
    image("d-lights.bin", {"lights", 124, "lights", 1, "RELEASE"});
    image("c-psu-125.bin", {"psu", 125, "psu", 2, "RELEASE"});
    image("b-psu-124.bin", {"psu", 124, "psu", 2, "RELEASE"});
    // Neither the firmware name nor the build is the searches' business.
    image("a-psu-124.bin", {"other", 124, "psu", 2, "DEBUG"});
    machine.dir.write("app/firmwares/0-junk.bin", "no image");
    image("0-psu-124.txt", {"psu", 124, "psu", 2, "RELEASE"});
    ASSERT_EQ(::mkdir((firmwaresDir() + "/0-dir.bin").c_str(), 0755), 0);
    image("accepted/0-psu-124.bin", {"psu", 124, "psu", 2, "RELEASE"});

    struct Case {
        char const* what;
        bool greater;
        uint8_t version;
        std::string selected; // empty: none
        std::vector<std::string> skipped;
    };
    Case const cases[] = {
        {"exact", false, 124, "a-psu-124.bin", {}},
        {"exact, later in order",
         false,
         125,
         "c-psu-125.bin",
         {"a-psu-124.bin': version does not match (requested=125, actual=124)",
          "b-psu-124.bin': version does not match (requested=125, actual=124)"}},
        {"exact, none",
         false,
         126,
         "",
         {"a-psu-124.bin': version does not match (requested=126, actual=124)",
          "b-psu-124.bin': version does not match (requested=126, actual=124)",
          "c-psu-125.bin': version does not match (requested=126, actual=125)"}},
        // The first greater one wins, not the greatest.
        {"greater", true, 110, "a-psu-124.bin", {}},
        {"greater than the first ones",
         true,
         124,
         "c-psu-125.bin",
         {"a-psu-124.bin': version is not grater (current=124, actual=124)",
          "b-psu-124.bin': version is not grater (current=124, actual=124)"}},
        {"greater, none", true, 125, "", {}},
    };
    for (Case const& c : cases) {
        SCOPED_TRACE(c.what);
        testsupport::LogCapture log;
        auto const found = c.greater
                               ? engine->upgrades().findFirmwareFileGrater(c.version, "psu-R2")
                               : engine->upgrades().findFirmwareFile(c.version, "psu-R2");
        std::string const text = log.text();
        EXPECT_EQ(found.has_value(), !c.selected.empty());
        if (found) {
            EXPECT_EQ(found->getFilepath(), firmwaresDir() + "/" + c.selected);
            EXPECT_NE(text.find("[Engine] " +
                                std::string(c.greater ? "Looking for firmware file "
                                                        "psu-R2 grater than "
                                                      : "Looking for firmware file "
                                                        "psu-R2 version ") +
                                std::to_string(c.version)),
                      std::string::npos);
            EXPECT_NE(text.find("[Engine]   - Selecting firmware '" + firmwaresDir() + "/" +
                                c.selected + "'"),
                      std::string::npos)
                << text;
        }
        for (std::string const& line : c.skipped) {
            EXPECT_NE(text.find("  - Skipping firmware '" + firmwaresDir() + "/" + line),
                      std::string::npos)
                << line;
        }
        // Images of other boards and files that are no image pass without a word.
        EXPECT_EQ(text.find("d-lights.bin"), std::string::npos);
        EXPECT_EQ(text.find("Skipping firmware '" + firmwaresDir() + "/0-"), std::string::npos);
    }
}

} // namespace
} // namespace enginetest
