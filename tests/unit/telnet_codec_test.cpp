// The telnet / RFC 2217 codec and the serial device server addresses.
#include <gtest/gtest.h>

#include "serial/SerialDevices.h"
#include "serial/network/NetworkSerialDevice.h"
#include "serial/network/TelnetCodec.h"

namespace telnet = serial::telnet;

namespace {

struct Decoded {
    std::vector<uint8_t> data;
    std::vector<telnet::Event> events;
};

Decoded Decode(telnet::Decoder& decoder, const std::vector<uint8_t>& input) {
    Decoded out;
    decoder.Decode(input.data(), input.size(), out.data, out.events);
    return out;
}

}  // namespace

TEST(TelnetCodec, DecodesDataDoubledIacNegotiationsAndSubnegotiationsAcrossChunks) {
    telnet::Decoder decoder;
    // Data, a doubled IAC, WILL BINARY, and a modem state notification split over two reads.
    Decoded first = Decode(decoder, {0x02, 0xFF, 0xFF, 0x03, 0xFF, 251, 0, 0xFF, 250, 44, 107});
    EXPECT_EQ(first.data, (std::vector<uint8_t>{0x02, 0xFF, 0x03}));
    ASSERT_EQ(first.events.size(), 1u);
    EXPECT_EQ(telnet::Describe(first.events[0]), "WILL BINARY");
    Decoded second = Decode(decoder, {0x80, 0xFF, 240, 0x41});
    EXPECT_EQ(second.data, (std::vector<uint8_t>{0x41}));
    ASSERT_EQ(second.events.size(), 1u);
    EXPECT_EQ(telnet::Describe(second.events[0]), "NOTIFY-MODEMSTATE 80");
}

TEST(TelnetCodec, HostileSequencesStayBounded) {
    telnet::Decoder decoder;
    // A subnegotiation far longer than kept is cut short; a broken one (IAC
    // followed by neither IAC nor SE) is dropped and its command taken.
    std::vector<uint8_t> input{0xFF, 250, 44, 101};
    input.insert(input.end(), 10000, 0x55);
    input.insert(input.end(), {0xFF, 240, 0xFF, 250, 44, 1, 0xFF, 253, 3, 0x07, 0xFF, 241, 0x08});
    Decoded out = Decode(decoder, input);
    EXPECT_EQ(out.data, (std::vector<uint8_t>{0x07, 0x08}));
    ASSERT_EQ(out.events.size(), 2u);
    EXPECT_TRUE(out.events[0].truncated);
    EXPECT_LE(out.events[0].value.size(), telnet::Decoder::MaxSubnegotiation);
    EXPECT_EQ(telnet::Describe(out.events[1]), "DO SUPPRESS-GO-AHEAD");
}

TEST(TelnetCodec, EncodesEscapedDataAndLineSettings) {
    std::vector<uint8_t> out;
    const uint8_t data[] = {0x01, 0xFF, 0x02};
    telnet::AppendEscaped(data, sizeof data, out);
    EXPECT_EQ(out, (std::vector<uint8_t>{0x01, 0xFF, 0xFF, 0x02}));

    serial::SerialSettings settings;
    settings.baudRate = 19200;
    settings.stopBits = serial::StopBits::Two;
    settings.parity = serial::Parity::Even;
    settings.ctsOutputFlow = true;
    settings.dtrControl = serial::LineControl::Handshake;
    std::vector<std::string> texts;
    for (const auto& setting : telnet::ComPortSettings(settings)) texts.push_back(telnet::Describe(setting));
    EXPECT_EQ(texts,
              (std::vector<std::string>{"SET-BAUDRATE 19200", "SET-DATASIZE 08", "SET-PARITY 03", "SET-STOPSIZE 02",
                                        "SET-CONTROL 03", "SET-CONTROL 08", "SET-CONTROL 0c"}));
    // A baud rate with an IAC byte in it is escaped inside the subnegotiation.
    out.clear();
    telnet::AppendComPortCommand(telnet::SetBaudRate, {0, 0, 0xFF, 0}, out);
    EXPECT_EQ(out, (std::vector<uint8_t>{0xFF, 250, 44, 1, 0, 0, 0xFF, 0xFF, 0, 0xFF, 240}));
}

TEST(NetworkAddress, UrlForms) {
    serial::NetworkAddress address;
    ASSERT_TRUE(serial::ParseNetworkAddress("RFC2217://ecr-7.shop:04001", address));
    EXPECT_TRUE(address.rfc2217);
    EXPECT_EQ(address.host, "ecr-7.shop");
    EXPECT_EQ(address.port, "4001");
    ASSERT_TRUE(serial::ParseNetworkAddress("socket://[::1]:7000", address));
    EXPECT_FALSE(address.rfc2217);
    EXPECT_EQ(address.host, "::1");
    for (const char* bad : {"socket://host", "socket://:40", "socket://host:0", "socket://host:65536",
                            "socket://::1:40", "rfc2217://[::1]40", "socket://host:40/x", "/dev/ttyS0"})
        EXPECT_FALSE(serial::ParseNetworkAddress(bad, address)) << bad;
    EXPECT_FALSE(serial::DeviceHasModemLines("socket://10.0.0.2:4001"));
    EXPECT_TRUE(serial::DeviceHasModemLines("rfc2217://10.0.0.2:4001"));
    EXPECT_TRUE(serial::DeviceHasModemLines("/dev/ttyS0"));
}
