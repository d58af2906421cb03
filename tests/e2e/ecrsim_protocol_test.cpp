// The simulated register, spoken to directly with raw bytes over its pty.
// Every driver test relies on these exchanges being right.
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <thread>

#include <gtest/gtest.h>

#include "support/Harness.h"
#include "support/TempDir.h"

namespace {

using ByteVector = std::vector<uint8_t>;

constexpr int WaitMs = 5000;  // wide margin for every expected byte

std::string Digits(const ByteVector& data) {
    unsigned sum = 0;
    for (uint8_t b : data) sum += b;
    char text[3];
    std::snprintf(text, sizeof text, "%02X", (0x100 - (sum & 0xFF)) & 0xFF);
    return text;
}

ByteVector Command(uint8_t code) {
    ByteVector frame{0x02, code};
    std::string digits = Digits(frame);
    frame.insert(frame.end(), digits.begin(), digits.end());
    frame.push_back(0x03);
    return frame;
}

ByteVector DataFrame(const std::string& data, uint8_t closing = 0x0D) {
    ByteVector frame(data.begin(), data.end());
    std::string digits = Digits(frame);
    frame.insert(frame.end(), digits.begin(), digits.end());
    frame.push_back(closing);
    return frame;
}

// The driver's end of the line, reduced to raw reads and writes.
class RawLine {
public:
    explicit RawLine(const std::string& path) {
        fd = open(path.c_str(), O_RDWR | O_NOCTTY);
        if (fd < 0) throw std::runtime_error("cannot open " + path);
        termios tio{};
        tcgetattr(fd, &tio);
        cfmakeraw(&tio);
        tcsetattr(fd, TCSANOW, &tio);
    }
    ~RawLine() { close(fd); }
    RawLine(const RawLine&) = delete;
    RawLine& operator=(const RawLine&) = delete;

    void Write(const ByteVector& bytes) const {
        ASSERT_EQ(write(fd, bytes.data(), bytes.size()), (ssize_t)bytes.size());
    }
    // Like the driver: stale input (a resent frame) is dropped before answering.
    void Ack() const {
        tcflush(fd, TCIFLUSH);
        Write({0x06});
    }
    // Reads up to and including the first byte in `terminators`, or `count` bytes.
    ByteVector Read(size_t count, const ByteVector& terminators = {}, int timeoutMs = WaitMs) const {
        ByteVector got;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (got.size() < count) {
            auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) break;
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
            uint8_t byte = 0;
            if (read(fd, &byte, 1) != 1) continue;
            got.push_back(byte);
            for (uint8_t t : terminators)
                if (byte == t) return got;
        }
        return got;
    }
    // Like the driver: a frame whose third byte is SUB is the end frame, any other ends at CR.
    ByteVector ReadFrame(int timeoutMs = WaitMs) const {
        ByteVector frame = Read(3, {0x0D}, timeoutMs);
        if (frame.size() < 3 || frame.back() == 0x0D || frame.back() == 0x1A) return frame;
        ByteVector rest = Read(200, {0x0D}, timeoutMs);
        frame.insert(frame.end(), rest.begin(), rest.end());
        return frame;
    }
    // Every frame of a read up to its end frame, acknowledging each.
    std::vector<std::string> ReadAll() const {
        std::vector<std::string> frames;
        while (true) {
            ByteVector frame = ReadFrame();
            if (frame.size() < 3) throw std::runtime_error("read broke off");
            Ack();
            if (frame.back() == 0x1A) return frames;
            frames.emplace_back(frame.begin(), frame.end() - 3);
        }
    }
    // A send transfer: command, frames, end frame with the right block checksum.
    void SendAll(uint8_t code, const std::vector<std::string>& lines) const {
        Write(Command(code));
        ASSERT_EQ(Hex(Read(1)), "06");
        std::string all;
        for (const auto& line : lines) {
            Write(DataFrame(line));
            ASSERT_EQ(Hex(Read(1)), "06") << line;
            all += line;
        }
        std::string digits = Digits(ByteVector(all.begin(), all.end()));
        Write({static_cast<uint8_t>(digits[0]), static_cast<uint8_t>(digits[1]), 0x1A});
        ASSERT_EQ(Hex(Read(1)), "06");
    }
    void Status() const {
        Write(Command(0x83));
        ASSERT_EQ(Hex(Read(1)), "06");
        ReadAll();
    }

private:
    int fd = -1;
};

class EcrsimTest : public ::testing::Test {
protected:
    TempDir dir{"ecrsim-test"};
};

TEST_F(EcrsimTest, StatusReplyIsFramedAndLogged) {
    Simulator sim(dir.Path(), {"--status", "0314"});
    {
        RawLine line(sim.LinkPath());
        line.Write(Command(0x83));
        EXPECT_EQ(Hex(line.Read(1)), "06");
        // "0314" sums to 0xC8: checksum 0x38.
        EXPECT_EQ(Hex(line.ReadFrame()), "30 33 31 34 33 38 0d");
        line.Ack();
        EXPECT_EQ(Hex(line.ReadFrame()), "33 38 1a");
        line.Ack();
    }
    sim.Stop();
    std::istringstream log(sim.Log());
    std::vector<std::string> lines;
    for (std::string text; std::getline(log, text);) lines.push_back(text);
    ASSERT_GE(lines.size(), 6u);
    EXPECT_EQ(lines[0], "IN  02 83 37 42 03");
    EXPECT_EQ(lines[1], "OUT 06");
    EXPECT_EQ(lines[2], "OUT 30 33 31 34 33 38 0d");
    EXPECT_EQ(lines[3], "IN  06");
    const std::regex format("(IN  |OUT )[0-9a-f]{2}( [0-9a-f]{2})*|NOTE .*");
    for (const auto& text : lines) EXPECT_TRUE(std::regex_match(text, format)) << text;
    EXPECT_FALSE(std::filesystem::exists(sim.LinkPath())) << "link left behind after SIGTERM";
}

TEST_F(EcrsimTest, BadCommandFramesAreRefusedAndTheLineResynchronises) {
    Simulator sim(dir.Path());
    {
        RawLine line(sim.LinkPath());
        // Wrong checksum digits, and lower-case digits: NAK.
        line.Write({0x02, 0x83, 0x37, 0x43, 0x03});
        EXPECT_EQ(Hex(line.Read(1)), "15");
        line.Write({0x02, 0x51, 0x61, 0x64, 0x03});
        EXPECT_EQ(Hex(line.Read(1)), "15");
        // Noise, a broken frame start and an overlong run of text, then a good frame.
        line.Write({0xFF, 0x41, 0x02, 0x83, 0x99});
        line.Write(ByteVector(400, 'x'));
        line.Write(Command(0x83));
        EXPECT_EQ(Hex(line.Read(1)), "06");
        EXPECT_EQ(Hex(line.ReadFrame()), "30 33 31 34 33 38 0d");
        line.Ack();
        EXPECT_EQ(Hex(line.ReadFrame()), "33 38 1a");
        line.Ack();
        // A send broken off in the middle of a frame: the next command still counts.
        line.Write(Command(0x72));
        EXPECT_EQ(Hex(line.Read(1)), "06");
        line.Write({'H', 'A', 'L', 'F'});
        line.Write(Command(0x73));
        EXPECT_EQ(Hex(line.Read(1)), "06");
        EXPECT_EQ(line.ReadAll(), std::vector<std::string>{});
        // The line closes in the middle of a send.
        line.Write(Command(0x72));
        EXPECT_EQ(Hex(line.Read(1)), "06");
        line.Write(DataFrame("KEPT?"));
        EXPECT_EQ(Hex(line.Read(1)), "06");
        line.Write({'H', 'A', 'L', 'F'});
    }
    // The next run finds an idle register and nothing stored from the broken send.
    RawLine again(sim.LinkPath());
    again.Write(Command(0x73));
    EXPECT_EQ(Hex(again.Read(1)), "06");
    EXPECT_EQ(again.ReadAll(), std::vector<std::string>{});
    EXPECT_NE(sim.Log().find("NOTE line closed during a transfer"), std::string::npos) << sim.Log();
}

// A frame of a read comes again after a NAK or no answer, the same each time.
TEST_F(EcrsimTest, ReadFramesAreSentAgainUntilAcknowledged) {
    std::string served = dir.PathOf("served.txt");
    std::FILE* file = std::fopen(served.c_str(), "wb");
    std::fputs("FIRST\r\n\r\nLAST", file);
    std::fclose(file);
    Simulator sim(dir.Path(), {"--serve", "0x62=" + served});
    RawLine line(sim.LinkPath());
    line.Status();
    // --serve: the file's lines without their line ends, a blank line as an empty frame.
    line.Write(Command(0x62));
    EXPECT_EQ(Hex(line.Read(1)), "06");
    EXPECT_EQ(line.ReadAll(), (std::vector<std::string>{"FIRST", "", "LAST"}));

    line.Write(Command(0x71));
    EXPECT_EQ(Hex(line.Read(1)), "06");
    ByteVector first = line.ReadFrame();
    ASSERT_EQ(first.size(), 47u);  // name length 20: 44 data bytes
    line.Write({0x15});
    EXPECT_EQ(Hex(line.ReadFrame()), Hex(first));
    EXPECT_EQ(Hex(line.ReadFrame()), Hex(first)) << "no answer: sent again";
    line.Ack();
    EXPECT_NE(Hex(line.ReadFrame()), Hex(first));
}

// Send records, read them back: sorted by code, in the layout of the level.
TEST_F(EcrsimTest, PluTableRoundTripInTheLayoutOfTheLevel) {
    struct Case {
        const char* status;
        std::vector<std::string> expected;
    } cases[] = {
        {"0314",
         {R"(0000000000007,00000099,"Bread               ","02","00","01")",
          R"(4750000000016,00000150,"Milk 1l             ","01","05","02")"}},
        // Level 0, name length 16: field 5 without quotes, names cut to 16.
        {"0010",
         {R"(0000000000007,00000099,"Bread           ","02",00,"01")",
          R"(4750000000016,00000150,"Milk 1l         ","01",05,"02")"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.status);
        TempDir caseDir("ecrsim-test");
        {
            Simulator sim(caseDir.Path(), {"--status", c.status});
            RawLine line(sim.LinkPath());
            line.Status();
            line.SendAll(0x51, {R"(4750000000016,00000150,"Milk 1l             ","01","05","02")",
                                R"(0000000000007,00000099,"Bread               ","02","00","01")"});
            // A frame with a wrong checksum is refused and not stored.
            line.Write(Command(0x52));
            EXPECT_EQ(Hex(line.Read(1)), "06");
            ByteVector bad = DataFrame(R"(0000000000008,00000001,"Bad","01","00","01")");
            bad[bad.size() - 2] ^= 1;
            line.Write(bad);
            EXPECT_EQ(Hex(line.Read(1)), "15");
            line.Write(Command(0x53));
            EXPECT_EQ(Hex(line.Read(1)), "06");
            EXPECT_EQ(line.ReadAll(), c.expected);
        }
    }
}

TEST_F(EcrsimTest, ReportsDepartmentsAndStoredBlocks) {
    Simulator sim(dir.Path(), {"--status", "0314"});
    RawLine line(sim.LinkPath());
    line.Status();
    line.SendAll(0x70, {R"(03,00000000,"Bakery              ","12","05")"});
    line.Write(Command(0x71));
    line.Read(1);
    std::vector<std::string> departments = line.ReadAll();
    ASSERT_EQ(departments.size(), 8u);
    EXPECT_EQ(departments[2], R"(03,00000000,"Bakery              ","12","05")");

    line.Write(Command(0x62));
    line.Read(1);
    std::vector<std::string> financial = line.ReadAll();
    ASSERT_EQ(financial.size(), 65u);  // level 3
    EXPECT_EQ(financial[8].substr(0, 3), "08,");
    line.Write(Command(0x80));  // clear: totals zero, Z counter up
    EXPECT_EQ(Hex(line.Read(1)), "06");
    line.Write(Command(0x62));
    line.Read(1);
    financial = line.ReadAll();
    EXPECT_EQ(financial[8], "08,0,0,0000.00,0");
    EXPECT_EQ(financial[64], "64,0,0,2,0");

    // Service blocks come back from the paired read code, verbatim.
    line.SendAll(0x72, {"HEAD LINE 1", "", "HEAD, LINE 3"});
    line.Write(Command(0x73));
    line.Read(1);
    EXPECT_EQ(line.ReadAll(), (std::vector<std::string>{"HEAD LINE 1", "", "HEAD, LINE 3"}));

    // The fiscal report shows the range it was given, hex-encoded in name-length lines.
    line.SendAll(0x84, {"1,D,Z,000015,000020"});
    line.Write(Command(0x85));
    line.Read(1);
    std::vector<std::string> report = line.ReadAll();
    ASSERT_GE(report.size(), 3u);
    std::string text;
    for (const auto& hex : report) {
        ASSERT_EQ(hex.size(), 40u);
        for (size_t i = 0; i < hex.size(); i += 2) text += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    }
    EXPECT_NE(text.find("000015-000020"), std::string::npos) << text;
    // A date range with a short, space-padded first date.
    line.SendAll(0x84, {"1,S,D,139   ,310309"});
    line.Write(Command(0x85));
    line.Read(1);
    text.clear();
    for (const auto& hex : line.ReadAll())
        for (size_t i = 0; i + 1 < hex.size(); i += 2)
            text += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    EXPECT_NE(text.find("SUMMARY"), std::string::npos) << text;
    EXPECT_NE(text.find("DATE 139-310309"), std::string::npos) << text;
}

// Every service block comes back verbatim from its paired read code, also
// with control bytes inside the data, which only the CR ends.
TEST_F(EcrsimTest, EveryServiceSendIsServedByItsPairedRead) {
    const std::pair<uint8_t, uint8_t> pairs[] = {{0x58, 0x57}, {0x5A, 0x59}, {0x5C, 0x5B}, {0x69, 0x68}, {0x6B, 0x6A},
                                                 {0x6D, 0x6C}, {0x6F, 0x6E}, {0x72, 0x73}, {0x75, 0x74}, {0x77, 0x76}};
    Simulator sim(dir.Path());
    RawLine line(sim.LinkPath());
    line.Status();
    for (const auto& [send, read] : pairs) {
        SCOPED_TRACE(static_cast<int>(send));
        std::vector<std::string> lines{"BLOCK " + std::to_string(send),
                                       std::string("A\x06"
                                                   "B\x02"
                                                   "C\x15"
                                                   "D\x1a"),
                                       ""};
        line.SendAll(send, lines);
        line.Write(Command(read));
        EXPECT_EQ(Hex(line.Read(1)), "06");
        EXPECT_EQ(line.ReadAll(), lines);
    }
    // A read code whose block was never sent answers with the end frame alone.
    line.SendAll(0x58, {"ONLY FC"});
    line.Write(Command(0x57));
    line.Read(1);
    EXPECT_EQ(line.ReadAll(), std::vector<std::string>{"ONLY FC"});
}

// Reports hold what the PLU table sold; each clear code zeroes its own report only.
TEST_F(EcrsimTest, ReportsFollowTheTableAndClearCodesClearTheirOwnTotals) {
    Simulator sim(dir.Path(), {"--status", "0214"});
    RawLine line(sim.LinkPath());
    line.Status();
    // Code 10 sells 1 at 2.50, code 12 sells 3 at 1.00: department 2 takes 5.50.
    line.SendAll(0x51,
                 {R"(0000000000010,00000250,"Tea","02","00","01")", R"(0000000000012,00000100,"Bun","02","00","01")"});
    auto read = [&line](uint8_t code) {
        line.Write(Command(code));
        EXPECT_EQ(Hex(line.Read(1)), "06");
        return line.ReadAll();
    };
    EXPECT_EQ(read(0x54), (std::vector<std::string>{"0000000000010,0001,0002.50", "0000000000012,0003,0003.00"}));
    std::vector<std::string> financial = read(0x62);
    ASSERT_EQ(financial.size(), 45u);  // level 2
    EXPECT_EQ(financial[1], "01,4,2,0005.50,0");
    EXPECT_EQ(financial[11], "11,0005.50,0,0000.00,0");  // taxable 1: the whole sale in field 1
    EXPECT_EQ(financial[43], "43,0005.50,0,0000.00,0");  // gross sale
    EXPECT_EQ(financial[44], "44,0,0,1,0");              // Z counter in field 3
    EXPECT_EQ(read(0x67).size(), 24u);
    EXPECT_EQ(read(0x65).size(), 30u);

    struct Clear {
        uint8_t clear, report;
        std::string row, before, after;
    } clears[] = {
        {0x50, 0x54, "", "0000000000010,0001,0002.50", "0000000000010,0000,0000.00"},
        {0x80, 0x62, "01,", "01,4,2,0005.50,0", "01,0,0,0000.00,0"},
        {0x81, 0x63, "01,", "01,4,2,0005.50,0", "01,0,0,0000.00,0"},
        {0x82, 0x67, "12,", "12,4,0017.48", "12,0,0000.00"},
        {0x86, 0x65, "01,", "01,2,0005.50", "01,0,0000.00"},
    };
    auto rowOf = [](const std::vector<std::string>& frames, const std::string& prefix) {
        for (const auto& frame : frames)
            if (frame.rfind(prefix, 0) == 0) return frame;
        return std::string();
    };
    for (const auto& c : clears) {
        SCOPED_TRACE(static_cast<int>(c.clear));
        EXPECT_EQ(rowOf(read(c.report), c.row), c.before);
        line.Write(Command(c.clear));
        EXPECT_EQ(Hex(line.Read(1)), "06");
        EXPECT_EQ(rowOf(read(c.report), c.row), c.after);
    }
    EXPECT_EQ(read(0x62)[44], "44,0,0,2,0");
    EXPECT_EQ(read(0x63)[44], "44,0,0,2,0");
}

TEST_F(EcrsimTest, FiscalDumpLogoPictureAndPacedWire) {
    Simulator sim(dir.Path(), {"--show-logo", "--baud", "9600"});
    RawLine line(sim.LinkPath());
    auto start = std::chrono::steady_clock::now();
    line.Status();  // 06, a 7-byte status frame, a 3-byte end frame
    auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, std::chrono::microseconds(11 * 10 * 1000000 / 9600 - 1000));

    line.Write(Command(0x79));
    line.Read(1);
    std::vector<std::string> dump = line.ReadAll();
    ASSERT_FALSE(dump.empty());
    const std::regex hex64("[0-9A-Fa-f]{64}");
    for (const auto& frame : dump) EXPECT_TRUE(std::regex_match(frame, hex64)) << frame;

    // First byte 0xA5 (":5"): dots at 0, 2, 5 and 7; last byte 0x80 (8 then 0): the rightmost dot.
    line.SendAll(0x7B, {":5" + std::string(56, '0') + "80", std::string(60, '?')});
    sim.Stop();
    std::string picture = "#.#..#.#" + std::string(231, '.') + "#\n" + std::string(240, '#') + "\n";
    EXPECT_NE(sim.Output().find(picture), std::string::npos) << sim.Output();
}

// Paced in bursts or not, no byte may come before a wire at that speed could
// have brought it: the command's 5 bytes first, then every byte of the
// answer (ACK and a 67-byte dump frame) one byte time after the one before.
// Only a lower bound is checked: a busy machine can make bytes late, never early.
TEST_F(EcrsimTest, PacedBytesNeverArriveBeforeTheirWireTime) {
    const int baud = 9600;
    Simulator sim(dir.Path(), {"--baud", std::to_string(baud)});
    RawLine line(sim.LinkPath());
    line.Status();
    const auto byteTime = std::chrono::nanoseconds(10LL * 1000000000LL / baud);
    const ByteVector command = Command(0x79);
    auto start = std::chrono::steady_clock::now();
    line.Write(command);
    size_t index = 0;
    ByteVector answer;
    while (answer.empty() || answer.back() != 0x0D) {
        ByteVector byte = line.Read(1);
        ASSERT_EQ(byte.size(), 1u) << "after " << Hex(answer);
        auto earliest = start + byteTime * static_cast<int64_t>(command.size() + index + 1);
        EXPECT_GE(std::chrono::steady_clock::now(), earliest) << "byte " << index << " came early";
        answer.push_back(byte[0]);
        ++index;
    }
    EXPECT_EQ(answer.size(), 1u + 67u);
    EXPECT_EQ(answer[0], 0x06);
}

// Each driver run ends with a note in the log where its last descriptor of
// the line closed, so that a log of many runs can be cut into them (the last
// bytes a run wrote before it closed may still follow the note).
TEST_F(EcrsimTest, LogMarksWhereEachDriverRunClosedTheLine) {
    Simulator sim(dir.Path());
    for (int run = 0; run < 2; ++run) {
        RawLine line(sim.LinkPath());
        line.Status();
    }
    const std::string marker = "NOTE driver closed the line\n";
    auto count = [&] {
        std::string log = sim.Log();
        size_t found = 0;
        for (size_t at = log.find(marker); at != std::string::npos; at = log.find(marker, at + 1)) ++found;
        return found;
    };
    for (int i = 0; i < 500 && count() < 2; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::string log = sim.Log();
    ASSERT_EQ(count(), 2u) << log;
    size_t first = log.find(marker);
    EXPECT_NE(log.substr(0, first).find("IN  02 83"), std::string::npos) << log;
    EXPECT_NE(log.substr(first + marker.size()).find("IN  02 83"), std::string::npos) << log;
}

TEST_F(EcrsimTest, FaultsFollowTheirFrameAndRepeatEachRun) {
    Simulator sim(dir.Path(), {"--fault", "nak@data#1*2", "--fault", "badsum@read#0"});
    RawLine line(sim.LinkPath());
    for (int run = 0; run < 2; ++run) {
        SCOPED_TRACE(run);
        line.Status();
        line.Write(Command(0x58));
        EXPECT_EQ(Hex(line.Read(1)), "06");
        line.Write(DataFrame("A"));
        EXPECT_EQ(Hex(line.Read(1)), "06");
        line.Write(DataFrame("B"));
        EXPECT_EQ(Hex(line.Read(1)), "15");
        line.Write(DataFrame("B"));
        EXPECT_EQ(Hex(line.Read(1)), "15");
        line.Write(DataFrame("B"));
        EXPECT_EQ(Hex(line.Read(1)), "06");
        line.Write({'F', 'F', 0x1A});
        EXPECT_EQ(Hex(line.Read(1)), "06");

        // The first read frame comes with wrong digits; unanswered, it comes again right.
        line.Write(Command(0x57));
        EXPECT_EQ(Hex(line.Read(1)), "06");
        ByteVector first = line.ReadFrame();
        EXPECT_NE(Hex(first), Hex(DataFrame("A")));
        EXPECT_EQ(Hex(line.ReadFrame()), Hex(DataFrame("A")));
        line.Ack();
        EXPECT_EQ(Hex(line.ReadFrame()), Hex(DataFrame("B")));
        line.Ack();
        ByteVector end = line.ReadFrame();
        EXPECT_EQ(end.size(), 3u);
        line.Ack();
    }
    // The driver's block checksum (FF) was wrong: noted, records kept anyway.
    EXPECT_NE(sim.Log().find("NOTE block checksum mismatch"), std::string::npos);
}

// A run that gave up on its refused status and closed the line: the next
// status opens a new run and meets the fault again.
TEST_F(EcrsimTest, StatusAfterTheLineClosedStartsANewRun) {
    Simulator sim(dir.Path(), {"--fault", "nak@status"});
    for (int run = 0; run < 2; ++run) {
        SCOPED_TRACE(run);
        RawLine line(sim.LinkPath());
        line.Write(Command(0x83));
        EXPECT_EQ(Hex(line.Read(1)), "15");
    }
    RawLine line(sim.LinkPath());
    line.Write(Command(0x83));
    EXPECT_EQ(Hex(line.Read(1)), "15");
    line.Status();  // the retry within the run is answered
}

TEST_F(EcrsimTest, ModemFrontAnswersTheDialThenPlaysTheRegister) {
    Simulator sim(dir.Path(), {"--modem", "connect"});
    RawLine line(sim.LinkPath());
    line.Write(Bytes("ATDT5551234\r"));
    std::string reply;
    for (uint8_t b : line.Read(28, {}, WaitMs)) reply += static_cast<char>(b);
    EXPECT_EQ(reply, "ATDT5551234\r\r\nCONNECT 9600\r\n");
    line.Status();
}

TEST_F(EcrsimTest, ModemFrontRefusesTheCallAsItsModeSays) {
    const std::pair<const char*, std::string> cases[] = {{"busy", "ATDT1\r\r\nBUSY\r\n"},
                                                         {"nocarrier,echo=off", "\r\nNO CARRIER\r\n"}};
    for (const auto& [mode, expected] : cases) {
        SCOPED_TRACE(mode);
        TempDir caseDir("ecrsim-test");
        {
            Simulator sim(caseDir.Path(), {"--modem", mode});
            RawLine line(sim.LinkPath());
            line.Write(Bytes("ATDT1\r"));
            ByteVector got = line.Read(expected.size());
            EXPECT_EQ(std::string(got.begin(), got.end()), expected);
            // No call: a status request is not the register's business.
            line.Write(Command(0x83));
            EXPECT_NE(Hex(line.Read(1, {}, 300)), "06");
        }
    }
}

// A test process that dies without its destructors takes its simulator along.
TEST_F(EcrsimTest, SimulatorEndsWithTheTestProcess) {
    const std::string link = dir.PathOf("ecr.tty");
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        try {
            Simulator sim(dir.Path());
            _exit(0);  // without the destructor, which would stop the simulator
        } catch (...) {
            _exit(1);
        }
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the simulator did not start";
    for (int i = 0; i < 500 && std::filesystem::is_symlink(std::filesystem::symlink_status(link)); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_FALSE(std::filesystem::is_symlink(std::filesystem::symlink_status(link)));
}

TEST_F(EcrsimTest, ExitsAfterTheGivenRunsAndRemovesItsLink) {
    Simulator sim(dir.Path(), {"--runs", "1"});
    {
        RawLine line(sim.LinkPath());
        line.Status();
    }
    for (int i = 0; i < 500 && std::filesystem::exists(sim.LinkPath()); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_FALSE(std::filesystem::exists(sim.LinkPath()));
}

std::string FileText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// The chaos schedule of a run follows from its seed alone.
TEST_F(EcrsimTest, ChaosDrawsTheSameFaultsForTheSameSeed) {
    auto scheduleOf = [this](const std::string& seed) {
        TempDir own{"ecrsim-chaos"};
        Simulator sim(own.Path(), {"--chaos", seed + ",6", "--fault", "nak@status*99"});
        RawLine line(sim.LinkPath());
        line.Write(Command(0x83));
        line.Read(1);
        sim.Stop();
        std::smatch found;
        std::string log = sim.Log();
        return std::regex_search(log, found, std::regex("NOTE chaos run 0:([^\n]*)")) ? found[1].str() : "";
    };
    std::string first = scheduleOf("77");
    EXPECT_FALSE(first.empty());
    EXPECT_EQ(scheduleOf("77"), first);
    EXPECT_NE(scheduleOf("78"), first);
}

// The register's state file follows every change; a garbled ACK makes the
// register send the frame the driver already took once more.
TEST_F(EcrsimTest, StateFileAndGarbledAck) {
    std::string preload = dir.PathOf("preload.txt");
    std::ofstream(preload) << "5,100,Milk,1,1,1\n";
    std::string state = dir.PathOf("state.txt");
    Simulator sim(dir.Path(), {"--preload", "0x51=" + preload, "--state", state, "--fault", "lostack@read#0"});
    EXPECT_NE(FileText(state).find("plu 5,100,Milk,1,1,1\n"), std::string::npos);
    RawLine line(sim.LinkPath());
    line.Status();
    line.SendAll(0x52, {"7,200,Tea,2,0,1"});
    line.Write(Command(0x50));
    EXPECT_EQ(Hex(line.Read(1)), "06");
    line.Write(Command(0x53));
    EXPECT_EQ(Hex(line.Read(1)), "06");
    ByteVector first = line.ReadFrame();
    line.Ack();
    EXPECT_EQ(Hex(line.ReadFrame()), Hex(first));
    line.Ack();
    EXPECT_NE(Hex(line.ReadFrame()), Hex(first));
    // Read after later exchanges: the register changes its state once its ACK has gone out.
    std::string text = FileText(state);
    EXPECT_NE(text.find("plu 5,100,Milk,1,1,1\nplu 7,200,Tea,2,0,1\n"), std::string::npos) << text;
    EXPECT_NE(text.find("cleared plusales 1\n"), std::string::npos) << text;
    std::string log = sim.Log();
    EXPECT_NE(log.find("NOTE read frame delivered: 0000000000005,"), std::string::npos);
    EXPECT_NE(log.find("NOTE lostack: ACK taken as garbled"), std::string::npos);
    EXPECT_NE(log.find("NOTE clear command 0x50 received"), std::string::npos);
}

}  // namespace
