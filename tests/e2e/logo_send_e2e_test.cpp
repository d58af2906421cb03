// Command 670 run end to end: a bitmap file goes to the simulated ECR as one
// 60-character frame per row, and refused files never reach it.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "support/Harness.h"
#include "unit/logo_test_bitmaps.h"

namespace {

const std::vector<uint8_t> LogoCommandFrame = {0x02, 0x7B, '8', '3', 0x03};
const std::vector<uint8_t> StatusCommandFrame = {0x02, 0x83, '7', 'B', 0x03};

std::string Fixture(const std::string& name) {
    std::ifstream in(std::string(TEST_DATA_DIR) + "/logo/" + name, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

struct LogoSession {
    explicit LogoSession(const std::string& extraCommon = "") : sim(box.Dir(), {"--show-logo"}) {
        box.WriteIni(TestIni(sim.LinkPath(), "", extraCommon));
    }
    RunResult Send(const std::string& bitmap) {
        box.WriteFile("logo.bmp", bitmap);
        RunResult run = box.Run({"/K1", "670", "logo.bmp"});
        sim.Stop();
        return run;
    }
    DriverSandbox box;
    Simulator sim;
};

// The frames' dots as '#' and '.', one line per frame.
std::string Dots(const std::vector<std::string>& frames) {
    std::string text;
    for (const auto& frame : frames) {
        for (size_t i = 0; i + 1 < frame.size(); i += 2) {
            unsigned byte = ((frame[i] & 0x0F) << 4) | (frame[i + 1] & 0x0F);
            for (int bit = 0; bit < 8; ++bit) text += (byte >> bit) & 1 ? '#' : '.';
        }
        text += '\n';
    }
    return text;
}

// What the driver sent from the logo command frame on.
std::vector<std::vector<uint8_t>> FromLogoCommand(const Simulator& sim) {
    auto received = sim.Received();
    for (size_t i = 0; i < received.size(); ++i)
        if (received[i] == LogoCommandFrame) return {received.begin() + static_cast<long>(i), received.end()};
    return {};
}

}  // namespace

TEST(LogoSendE2E, SendsOneFramePerRowFromTheTopThenTheEndFrame) {
    {
        LogoSession session;
        RunResult run = session.Send(Fixture("logo_240x100.bmp"));
        EXPECT_EQ(run.exitCode, 0) << run.output;
        EXPECT_NE(run.output.find("Command: 670 - Logo bitmap send\n\n"), std::string::npos) << run.output;
        EXPECT_NE(run.output.find("Records sent: 100\n"), std::string::npos) << run.output;

        auto sent = FromLogoCommand(session.sim);
        ASSERT_FALSE(sent.empty()) << session.sim.Log();
        auto frames = SentDataFrames(sent);
        ASSERT_EQ(frames.size(), 100u);
        for (const auto& frame : frames) EXPECT_EQ(frame.size(), 60u);
        EXPECT_EQ(Dots(frames), Fixture("logo_240x100.txt"));
        ASSERT_EQ(sent.back().size(), 3u);  // the end frame closes the transfer
        EXPECT_EQ(sent.back()[2], 0x1A);
        // The register shows the very picture the image tool drew.
        EXPECT_NE(session.sim.Output().find(Fixture("logo_240x100.txt")), std::string::npos) << session.sim.Output();
    }
    {
        LogoSession session;
        RunResult run = session.Send(Fixture("logo_pattern_240x3.bmp"));
        EXPECT_EQ(run.exitCode, 0) << run.output;
        auto frames = SentDataFrames(FromLogoCommand(session.sim));
        EXPECT_EQ(frames, (std::vector<std::string>{"??" + std::string(58, '0'), "01" + std::string(56, '0') + "80",
                                                    std::string(60, '?')}));
    }
    {
        LogoSession session;
        BitmapShape shape;  // one white row
        RunResult run = session.Send(BuildBitmap(shape));
        EXPECT_EQ(run.exitCode, 0) << run.output;
        EXPECT_EQ(SentDataFrames(FromLogoCommand(session.sim)), std::vector<std::string>{std::string(60, '0')});
    }
}

TEST(LogoSendE2E, CodePageNeverChangesTheLogo) {
    // With the DOS code page, text byte 0xB5 would go out as 0xC2; a logo
    // row holding 0xB5 must reach the register unchanged.
    LogoSession session("CodePage = DOS\r\n");
    BitmapShape shape;
    shape.blackFirst = false;           // bits taken as they are, only reversed
    shape.rows = {{0xAD, 0xCB, 0x0F}};  // becomes 0xB5, 0xD3, 0xF0
    shape.rows[0].resize(30, 0);
    RunResult run = session.Send(BuildBitmap(shape));
    EXPECT_EQ(run.exitCode, 0) << run.output;
    EXPECT_EQ(SentDataFrames(FromLogoCommand(session.sim)), std::vector<std::string>{";5=3?0" + std::string(54, '0')});
}

TEST(LogoSendE2E, RefusedFileSendsNothingAfterTheStatusRequest) {
    BitmapShape topDown;
    topDown.height = -4;
    BitmapShape truncated;
    truncated.height = 8;
    truncated.cutBytes = 10;
    struct Case {
        std::string what;
        std::string bitmap;
        std::string message;
    } cases[] = {
        {"239 wide", Fixture("logo_239x100.bmp"), "Wrong bitmap file format"},
        {"top-down", BuildBitmap(topDown), "Wrong bitmap file format"},
        {"truncated", BuildBitmap(truncated), "File 'logo.bmp' read error"},
    };
    for (const auto& c : cases) {
        LogoSession session;
        RunResult run = session.Send(c.bitmap);
        EXPECT_EQ(run.exitCode, 1) << c.what << run.output;
        EXPECT_NE(run.output.find(c.message), std::string::npos) << c.what << run.output;
        EXPECT_EQ(run.output.find("Records sent"), std::string::npos) << c.what;
        // Only the status request and the acknowledgements of its reply.
        auto received = session.sim.Received();
        ASSERT_FALSE(received.empty()) << c.what;
        EXPECT_EQ(received.front(), StatusCommandFrame) << c.what;
        for (size_t i = 1; i < received.size(); ++i)
            EXPECT_EQ(received[i], std::vector<uint8_t>{0x06}) << c.what << ": " << Hex(received[i]);
    }
}
