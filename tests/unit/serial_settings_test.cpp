// Settings strings, character times and the read time-out rule.
#include <gtest/gtest.h>

#include "comport/ComPort.h"
#include "ecrcomm/EcrComm.h"
#include "errors/Exceptions.h"
#include "platform/SystemError.h"
#include "serial/BytePacing.h"
#include "serial/ReadDeadline.h"
#include "serial/SerialDevice.h"

using namespace serial;

TEST(SerialSettingsParser, ReadsEveryKeyInAnyCaseAndRejectsWholeStringsItCannotRead) {
    SerialSettings s;
    ASSERT_TRUE(
        ParseSerialSettings("BAUD=9600 Parity=M data=7 STOP=1.5 octs=ON odsr=on idsr=on xon=on to=on "
                            "dtr=hs rts=off",
                            s));
    EXPECT_EQ(s.baudRate, 9600u);
    EXPECT_EQ(s.parity, Parity::Mark);
    EXPECT_EQ(s.dataBits, 7);
    EXPECT_EQ(s.stopBits, StopBits::OneAndHalf);
    EXPECT_TRUE(s.ctsOutputFlow && s.dsrOutputFlow && s.dsrSensitivity && s.xonXoff && s.timeoutProcessing);
    EXPECT_EQ(s.dtrControl, LineControl::Handshake);
    EXPECT_EQ(s.rtsControl, LineControl::Off);
    ASSERT_TRUE(ParseSerialSettings("baud=96 parity=s", s));  // classic abbreviation
    EXPECT_EQ(s.baudRate, 9600u);
    EXPECT_EQ(s.parity, Parity::Space);

    for (const char* bad : {"baud=fast", "baud=0", "data=9", "data=4", "parity=x", "stop=3", "octs=yes", "dtr=tg",
                            "speed=9600", "baud", "=9600", "baud=19200 stop=9"}) {
        SerialSettings before;
        before.baudRate = 1200;
        SerialSettings after = before;
        platform::SetLastSystemError(0);
        EXPECT_FALSE(ParseSerialSettings(bad, after)) << bad;
        EXPECT_EQ(platform::LastSystemError(), 0u) << bad << ": a parse error, not a system error";
        EXPECT_EQ(after.baudRate, 1200u) << bad;
        EXPECT_EQ(after.stopBits, StopBits::One) << bad;
    }
}

TEST(SerialSettingsString, DefaultsAndOverridesKeyByKey) {
    SerialSettings direct, modem;
    ApplySettingsString(DirectSettingsString, direct);
    ApplySettingsString(ModemSettingsString, modem);
    EXPECT_EQ(direct.baudRate, 19200u);
    EXPECT_EQ(BitsPerCharacter(direct), 11);  // 8N2
    EXPECT_EQ(direct.rtsControl, LineControl::Handshake);
    EXPECT_EQ(direct.dtrControl, LineControl::Handshake);
    EXPECT_TRUE(direct.ctsOutputFlow);
    EXPECT_EQ(BitsPerCharacter(modem), 10);  // 8N1
    EXPECT_EQ(modem.dtrControl, LineControl::On);
    EXPECT_TRUE(modem.dsrOutputFlow);

    SerialSettings s;
    ApplySettingsString(ModemSettingsString, s);
    ApplySettingsString("  BAUD=9600 RTS=HS  ", s);
    EXPECT_EQ(s.baudRate, 9600u);
    EXPECT_EQ(s.stopBits, StopBits::One);
    EXPECT_EQ(s.dtrControl, LineControl::On);

    // The handshake values are taken out before parsing: alone they leave nothing to parse.
    SerialSettings hs;
    ApplySettingsString("RTS=HS dtr=hs", hs);
    ApplySettingsString("", hs);
    EXPECT_EQ(hs.rtsControl, LineControl::Handshake);
    EXPECT_EQ(hs.dtrControl, LineControl::Handshake);
    EXPECT_EQ(hs.baudRate, 0u);

    try {
        ApplySettingsString("baud=fast", s);
        FAIL() << "no exception";
    } catch (const SystemErrorException& e) {
        EXPECT_EQ(e.GetMessage(), "System error: Unable to decode serial port configuration string");
    }
    EXPECT_EQ(s.baudRate, 9600u);

    // All or nothing: a handshake value beside an unreadable part is not taken either.
    SerialSettings mixed;
    EXPECT_THROW(ApplySettingsString("rts=hs baud=fast", mixed), SystemErrorException);
    EXPECT_EQ(mixed.rtsControl, LineControl::Off);
}

TEST(SerialByteTime, FollowsBitsSpeedAndMultiplier) {
    struct Case {
        const char* settings;
        int32_t multiplier;
        uint32_t expected;
    };
    for (const Case& c :
         {Case{DirectSettingsString, 100, 57}, Case{ModemSettingsString, 100, 52},
          Case{"baud=9600 data=8 parity=n stop=2", 100, 114}, Case{"baud=9600 data=8 parity=n stop=1", 100, 104},
          Case{"baud=115200 data=8 parity=n stop=2", 100, 9},
          Case{"baud=115200 data=8 parity=e stop=1.5", 100, 9},  // 1.5 counts as one
          Case{"baud=19200", 100, 52},                           // no data size named: 8 bits
          Case{DirectSettingsString, 0, 1}, Case{DirectSettingsString, -5, 1}}) {
        SerialSettings s;
        ApplySettingsString(c.settings, s);
        EXPECT_EQ(ByteTimeoutMs(s, c.multiplier), c.expected) << c.settings << " x" << c.multiplier;
    }
}

TEST(SerialBytePacing, PauseCoversTheLineTimeWithinTheTimeOutRule) {
    SerialSettings direct;
    ApplySettingsString(DirectSettingsString, direct);
    EXPECT_EQ(CharacterTimeUs(direct), 572);          // 11 bits at 19200 baud
    EXPECT_EQ(IncomingCharacterTimeUs(direct), 520);  // a sender may use one stop bit of the two
    EXPECT_EQ(CharacterTimeUs(SerialSettings{}), 0);

    const SerialTimeouts interval57{57, 57, 1500, 0, 0};
    EXPECT_EQ(PauseForBytesUs(10, 572, interval57, -1), 5720);
    EXPECT_EQ(PauseForBytesUs(59, 572, interval57, -1), 28500);  // never more than half the interval
    EXPECT_EQ(PauseForBytesUs(59, 572, interval57, 7), 7000);    // nor past the time-out
    EXPECT_EQ(PauseForBytesUs(59, 572, interval57, 0), 0);
    EXPECT_EQ(PauseForBytesUs(0, 572, interval57, -1), 0);
    EXPECT_EQ(PauseForBytesUs(10, 0, interval57, -1), 0);                              // no line speed known
    EXPECT_EQ(PauseForBytesUs(size_t{1} << 62, 572, SerialTimeouts{}, -1) > 0, true);  // no overflow
}

TEST(SerialReadDeadline, TotalIntervalAndImmediateRules) {
    ReadDeadline immediate({TimeoutImmediate, 0, 0, 0, 0}, 256, 1000);
    EXPECT_TRUE(immediate.ReturnsImmediately());
    EXPECT_EQ(immediate.RemainingMs(1000), 0);

    ReadDeadline total({0, 10, 100, 0, 0}, 3, 1000);  // 3 x 10 + 100 ms
    EXPECT_EQ(total.RemainingMs(1000), 130);
    EXPECT_EQ(total.RemainingMs(1200), 0);

    ReadDeadline both({20, 10, 100, 0, 0}, 3, 1000);
    EXPECT_EQ(both.RemainingMs(1010), 120);  // the gap only counts after a byte
    both.ByteReceived(1050);
    EXPECT_EQ(both.RemainingMs(1060), 10);
    EXPECT_EQ(both.RemainingMs(1125), 0);

    ReadDeadline none({0, 0, 0, 0, 0}, 3, 1000);
    EXPECT_EQ(none.RemainingMs(999999), -1);
    ReadDeadline gapOnly({20, 0, 0, 0, 0}, 3, 1000);
    EXPECT_EQ(gapOnly.RemainingMs(5000), -1);

    EXPECT_EQ(WriteDeadlineMs({0, 0, 0, 57, 1000}, 5, 100), 100 + 5 * 57 + 1000);
    EXPECT_EQ(WriteDeadlineMs({}, 5, 100), -1);
}
