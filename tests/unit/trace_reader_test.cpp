// kvttrace's reader and decoder on small debug log snippets: line ends,
// runs, damaged input, and what the frames of a run mean.
#include <gtest/gtest.h>

#include <sstream>

#include "trace/CommandNames.h"
#include "trace/LinkDecoder.h"
#include "trace/TraceLog.h"
#include "trace/Writers.h"

namespace {

using trace::EventKind;

// A 200 send with a NAK and a retry, in the driver's own layout (LF ends).
const char SendRun[] =
    "\n"
    "08.12.2026 10:55:04.079  KVT5100 driver version 1.8.0 started. Command line: ./KVT5100 /K1 200 plu.txt\n"
    "08.12.2026 10:55:04.097  ----- Reading ECR status -----\n"
    "PC->ECR   5 bytes in    0.0 ms : 02 83 37 42 03\n"
    "PC<-ECR   1 bytes in    7.9 ms : 06\n"
    "PC<-ECR   3 bytes in    0.0 ms : 30 33 31\n"
    "PC<-ECR   4 bytes in   63.8 ms : 34 33 38 0d\n"
    "PC->ECR   1 bytes in    0.1 ms : 06\n"
    "PC<-ECR   3 bytes in    0.0 ms : 33 38 1a\n"
    "PC->ECR   1 bytes in    0.0 ms : 06\n"
    "PC<-ECR   2 bytes in    5.0 ms : (ignored) 55 55\n"
    "PC->ECR   5 bytes in    3.9 ms : 02 51 41 44 03\n"
    "PC<-ECR   1 bytes in    0.0 ms : 06\n"
    "PC->ECR   6 bytes in    0.0 ms : 41 42 43 33 41 0d\n"
    "PC<-ECR   1 bytes in   32.0 ms : 15\n"
    "08.12.2026 10:55:04.313  NAK received\n"
    "PC->ECR   6 bytes in    0.0 ms : 41 42 43 33 41 0d\n"
    "PC<-ECR   1 bytes in    7.9 ms : 06\n"
    "PC->ECR   3 bytes in    0.0 ms : 33 41 1a\n"
    "PC<-ECR   1 bytes in    2.9 ms : 06\n"
    "08.12.2026 10:55:04.438  I/O statistics : OUT frames = 6, IN frames = 6, NAK = 1\n"
    "08.12.2026 10:55:04.438  Completed OK\n";

std::string WithCrLf(const std::string& text) {
    std::string out;
    for (char ch : text) {
        if (ch == '\n') out += '\r';
        out += ch;
    }
    return out;
}

trace::TraceLog Parse(const std::string& text) {
    trace::TraceLog log;
    std::string error;
    EXPECT_TRUE(trace::ParseLog(text, log, error)) << error;
    return log;
}

std::vector<trace::LinkEvent> Decode(const std::string& text, size_t run = 0) {
    trace::TraceLog log = Parse(text);
    if (run >= log.runs.size()) return {};
    return trace::DecodeRun(log.runs[run], trace::DecodeOptions{});
}

std::vector<EventKind> KindsOnLine(const std::vector<trace::LinkEvent>& events) {
    std::vector<EventKind> kinds;
    for (const auto& event : events)
        if (event.onLine || event.kind == EventKind::Lost) kinds.push_back(event.kind);
    return kinds;
}

const trace::LinkEvent* First(const std::vector<trace::LinkEvent>& events, EventKind kind, size_t skip = 0) {
    for (const auto& event : events)
        if (event.kind == kind && skip-- == 0) return &event;
    return nullptr;
}

}  // namespace

TEST(TraceReader, ReadsEntriesAndTraceLinesAlikeWithLfAndCrLfEnds) {
    for (const std::string& text : {std::string(SendRun), WithCrLf(SendRun)}) {
        trace::TraceLog log = Parse(text);
        ASSERT_EQ(log.runs.size(), 1u);
        const trace::Run& run = log.runs[0];
        EXPECT_EQ(run.commandLine, "./KVT5100 /K1 200 plu.txt");
        EXPECT_EQ(run.firstLine, 2u);
        ASSERT_EQ(run.events.size(), 21u);
        const trace::LogEvent& write = run.events[2];
        EXPECT_EQ(write.kind, trace::LogEvent::Kind::Transfer);
        EXPECT_EQ(write.direction, trace::Direction::Out);
        EXPECT_EQ(write.peer, "ECR");
        EXPECT_EQ(write.bytes, (std::vector<uint8_t>{0x02, 0x83, 0x37, 0x42, 0x03}));
        EXPECT_EQ(write.line, 4u);
        const trace::LogEvent& drained = run.events[9];
        EXPECT_TRUE(drained.ignored);
        EXPECT_EQ(drained.direction, trace::Direction::In);
        EXPECT_DOUBLE_EQ(*drained.durationMs, 5.0);
        EXPECT_EQ(run.events[14].text, "NAK received");
    }
}

TEST(TraceReader, SplitsRunsAtTheirStartAndKeepsALogThatBeginsMidRun) {
    std::string text = std::string("PC<-ECR   1 bytes in    1.0 ms : 06\n") +
                       "08.12.2026 10:55:03.000  Completed OK\n" + SendRun +
                       "08.12.2026 10:56:00.000  KVT5100 driver version 1.8.0 started. Command line: KVT5100 207 t\n"
                       "PC->ECR   5 bytes : 02 83 37 42 03\n"  // a driver without a clock: no duration
                       "PC<-ECR   0 bytes in 1557.0 ms :\n";
    trace::TraceLog log = Parse(text);
    ASSERT_EQ(log.runs.size(), 3u);
    EXPECT_EQ(log.runs[0].commandLine, "");
    EXPECT_EQ(log.runs[1].commandLine, "./KVT5100 /K1 200 plu.txt");
    EXPECT_EQ(log.runs[2].commandLine, "KVT5100 207 t");
    EXPECT_FALSE(log.runs[2].events[1].durationMs.has_value());
    EXPECT_TRUE(log.runs[2].events[2].bytes.empty());
    // An entry's text may go on over several lines.
    trace::TraceLog joined = Parse("08.12.2026 10:55:03.000  first\nsecond line\nPC->ECR   1 bytes : 06\n");
    EXPECT_EQ(joined.runs[0].events[0].text, "first\nsecond line");
}

TEST(TraceReader, RefusesDamagedInputWithTheLineAndTheReason) {
    const std::string stamp = "08.12.2026 10:55:04.079  note\n";
    struct Case {
        std::string text;
        std::string message;
    } cases[] = {
        {stamp + "PC->ECR   2 bytes in    0.0 ms : 02 8g\n", "line 2: '8g' is not a byte in hex"},
        {stamp + "PC->ECR   2 bytes in    0.0 ms : 02 833\n", "line 2: '833' is not a byte in hex (two digits)"},
        {stamp + "PC->ECR   5 bytes in    0.0 ms : 02 83 3", "line 2: the log ends in the middle of a trace line"},
        {stamp + "PC->ECR   5 bytes in    0.0 ms : 02 83 3\n", "line 2: '3' is not a byte in hex"},
        {stamp + "PC->ECR  63 bytes in    0.0 ms : 02 83\n", "announces 63 bytes but holds 2"},
        {stamp + "PC->ECR  63 bytes in\r\n", "line 2: trace line without its ' :'"},
        {stamp + "PC->ECR   1 bytes in fast ms : 06\n", "unreadable duration"},
        {stamp + "PC->ECR many bytes : 06\n", "without a byte count"},
        {stamp + "08.12.20", "line 2: the log ends in the middle of a time stamp"},
        {stamp + std::string("\x7f"
                             "ELF\x02\x01\x01\0\0",
                             9),
         "line 2: holds binary data"},
        {"PC->ECR   1 bytes : 06\n", "no entry of the driver's log"},
        {"hello world\n", "line 1: neither a time-stamped entry nor a trace line"},
        {"", "no entry"},
        // The standard log, or a debug log of a run with DbgErrorLog = 0: no trace at all.
        {stamp + "08.12.2026 10:55:04.438  Completed OK\n", "holds no byte trace"},
    };
    for (const Case& item : cases) {
        trace::TraceLog log;
        std::string error;
        EXPECT_FALSE(trace::ParseLog(item.text, log, error)) << item.text;
        EXPECT_NE(error.find(item.message), std::string::npos) << "got: " << error;
    }
}

TEST(TraceDecoder, NamesTheCommandAndFollowsANakAndItsRetryToAMatchingBlockChecksum) {
    std::vector<trace::LinkEvent> events = Decode(SendRun);
    EXPECT_EQ(KindsOnLine(events),
              (std::vector<EventKind>{EventKind::Command, EventKind::Ack, EventKind::Data, EventKind::Ack,
                                      EventKind::End, EventKind::Ack, EventKind::Discarded, EventKind::Command,
                                      EventKind::Ack, EventKind::Data, EventKind::Nak, EventKind::Data, EventKind::Ack,
                                      EventKind::End, EventKind::Ack}));
    const trace::LinkEvent* status = First(events, EventKind::Command);
    EXPECT_EQ(status->name, "status request");
    const trace::LinkEvent* send = First(events, EventKind::Command, 1);
    EXPECT_EQ(send->code, 0x51);
    EXPECT_EQ(send->name, "PLU table send (200)");  // the run's command picks among the code's users
    const trace::LinkEvent* statusText = First(events, EventKind::Data);
    EXPECT_EQ(statusText->text, "0314");
    EXPECT_EQ(statusText->direction, trace::Direction::In);
    const trace::LinkEvent* retry = First(events, EventKind::Data, 2);
    EXPECT_EQ(retry->retry, 1);
    EXPECT_EQ(retry->text, "ABC");
    EXPECT_TRUE(retry->checksumOk);
    // The retry counts once in the block checksum: 3A, as the driver sent it.
    const trace::LinkEvent* end = First(events, EventKind::End, 1);
    EXPECT_TRUE(end->checksumOk) << end->expectedDigits;
    EXPECT_EQ(First(events, EventKind::Outcome)->text, "Completed OK");
    // A blank line of a service command goes out as an empty data frame.
    std::vector<trace::LinkEvent> empty =
        Decode("08.12.2026 10:55:04.079  note\nPC->ECR   3 bytes in    0.0 ms : 30 30 0d\n");
    ASSERT_EQ(empty[1].kind, EventKind::Data);
    EXPECT_EQ(empty[1].text, "");
    EXPECT_TRUE(empty[1].checksumOk);
    EXPECT_NE(First(events, EventKind::Statistics), nullptr);
    EXPECT_EQ(First(events, EventKind::Note, 0)->text, "----- Reading ECR status -----");
    // The offsets follow the stamps and the transfer times after them.
    EXPECT_NEAR(First(events, EventKind::Ack)->offsetMs, 18 + 7.9, 0.01);
    EXPECT_EQ(trace::CommandNumberOf("\"C:\\Program Files\\KVT 5100\\KVT5100.exe\" /K2 207 t.txt"), 207);
    EXPECT_EQ(trace::CommandNumberOf("KVT5100 /K1"), 0);
    // Without a command number the code's every user is named.
    EXPECT_NE(trace::CommandName(0x51, 0).find(" / "), std::string::npos);
}

TEST(TraceDecoder, ShowsAGarbledFrameItsResendALongWaitARepeatedFrameAndABadBlockChecksum) {
    const std::string read =
        "08.12.2026 10:55:04.440  KVT5100 driver version 1.8.0 started. Command line: ./KVT5100 207 t.txt\n"
        "PC->ECR   5 bytes in    0.0 ms : 02 53 41 42 03\n"
        "PC<-ECR   1 bytes in    4.9 ms : 06\n"
        "PC<-ECR   3 bytes in    0.0 ms : 41 42 43\n"
        "PC<-ECR   3 bytes in    0.0 ms : 33 44 0d\n"  // wrong digits: 3A is right
        "08.12.2026 10:55:04.553  Garbage received\n"
        "PC<-ECR   3 bytes in  196.1 ms : 41 42 43\n"
        "PC<-ECR   3 bytes in    0.0 ms : 33 41 0d\n"
        "PC->ECR   1 bytes in    0.0 ms : 06\n"
        "PC<-ECR   3 bytes in    0.0 ms : 41 42 43\n"
        "PC<-ECR   3 bytes in    0.0 ms : 33 41 0d\n"
        "PC->ECR   1 bytes in    0.0 ms : 06\n"
        "PC<-ECR   3 bytes in    0.0 ms : 33 41 1a\n"
        "PC->ECR   1 bytes in    0.0 ms : 06\n"
        "PC->ECR   5 bytes in    0.0 ms : 02 53 41 42 03\n"
        "PC<-ECR   0 bytes in 1557.0 ms :\n"
        "PC<-ECR   3 bytes in    0.0 ms : 41 42 43\n"
        "PC<-ECR   0 bytes in   60.0 ms :\n"
        "PC->ECR   5 bytes in    0.0 ms : 02 53 41 42 03\n"
        "08.12.2026 10:55:06.000  Serial port read error (system error code : 5)\n";
    std::vector<trace::LinkEvent> events = Decode(read);
    const trace::LinkEvent* garbled = First(events, EventKind::Data);
    EXPECT_FALSE(garbled->checksumOk);
    EXPECT_EQ(garbled->checksumDigits, "3D");
    EXPECT_EQ(garbled->expectedDigits, "3A");
    const trace::LinkEvent* gap = First(events, EventKind::Gap);
    ASSERT_NE(gap, nullptr);
    EXPECT_EQ(gap->text, "waited 196.1 ms for the frame");
    const trace::LinkEvent* resent = First(events, EventKind::Data, 1);
    EXPECT_EQ(resent->retry, 1);
    EXPECT_TRUE(resent->checksumOk);
    EXPECT_TRUE(First(events, EventKind::Data, 2)->repeated);
    // The register counts the frame once, the driver received it twice.
    const trace::LinkEvent* end = First(events, EventKind::End);
    EXPECT_FALSE(end->checksumOk);
    EXPECT_EQ(end->expectedDigits, "74");
    // A reply that never came, a frame cut short, and a log without the outcome.
    EXPECT_EQ(First(events, EventKind::Lost)->text, "no reply");
    EXPECT_EQ(First(events, EventKind::Lost, 1)->text, "frame cut short: ABC");
    EXPECT_EQ(First(events, EventKind::Lost, 2)->text, "no reply");  // the read failed without a trace line
    EXPECT_EQ(First(events, EventKind::Lost, 2)->line, 20u);
    EXPECT_EQ(events.back().kind, EventKind::Unfinished);
}

TEST(TraceDecoder, ConvertsDataTextFromTheRegistersCodePageAndEscapesControlBytes) {
    EXPECT_EQ(trace::DataText({'M', 0xED, 'a', '\\', 0x01}, 1257),
              "M\xc4\xb7"
              "a\\x5C\\x01");
    EXPECT_EQ(trace::DataText({'M', 0xED}, 0), "M\\xED");
}

TEST(TraceDecoder, KeepsModemDialogueAndNetworkNotesApart) {
    const std::string text =
        "08.12.2026 10:55:04.440  KVT5100 driver version 1.8.0 started. Command line: KVT5100 207 t.txt\n"
        "08.12.2026 10:55:04.441  Connected to serial device server 10.0.0.7 port 4001 (RFC 2217)\n"
        "08.12.2026 10:55:04.441  Telnet from server: DO COM-PORT-OPTION\n"
        "08.12.2026 10:55:04.442  Modem dial string: ATDT5551234\n"
        "PC->MDM  12 bytes in    1.0 ms : 41 54 44 54 35 35 35 31 32 33 34 0d\n"
        "PC<-MDM   8 bytes in   90.0 ms : 42 55 53 59 0d 0a 00 7f\n"
        "08.12.2026 10:55:05.000  Completed with errors\n";
    std::vector<trace::LinkEvent> events = Decode(text);
    EXPECT_EQ(First(events, EventKind::Network)->text,
              "Connected to serial device server 10.0.0.7 port 4001 (RFC 2217)");
    EXPECT_EQ(First(events, EventKind::Network, 1)->text, "Telnet from server: DO COM-PORT-OPTION");
    EXPECT_EQ(First(events, EventKind::Modem)->text, "Modem dial string: ATDT5551234");
    EXPECT_EQ(First(events, EventKind::Modem, 1)->text, "ATDT5551234\\r");
    EXPECT_EQ(First(events, EventKind::Modem, 2)->text, "BUSY\\r\\n\\x00\\x7F");
    EXPECT_EQ(First(events, EventKind::Modem, 2)->direction, trace::Direction::In);
}

TEST(TraceWriters, JsonIsOneValidObjectPerEventAndPcapCarriesEveryByteWithItsDirection) {
    std::string text = std::string(SendRun) + "08.12.2026 10:55:04.500  Line 3 \xED\n";  // a note in CP1257
    std::vector<trace::LinkEvent> events = Decode(text);
    std::ostringstream json;
    trace::WriteJson(json, 1, events);
    std::istringstream lines(json.str());
    std::string line;
    size_t count = 0;
    while (std::getline(lines, line)) {
        ++count;
        EXPECT_EQ(line.front(), '{');
        EXPECT_EQ(line.back(), '}');
    }
    EXPECT_EQ(count, events.size());
    EXPECT_NE(json.str().find("\"kind\":\"nak\",\"direction\":\"in\",\"bytes\":\"15\""), std::string::npos);
    EXPECT_NE(json.str().find("\"text\":\"Line 3 \\ufffd\""), std::string::npos);

    std::string pcap = trace::PcapFile(events);
    auto u32 = [&](size_t at) {
        return static_cast<uint32_t>(static_cast<uint8_t>(pcap[at])) |
               static_cast<uint32_t>(static_cast<uint8_t>(pcap[at + 1])) << 8 |
               static_cast<uint32_t>(static_cast<uint8_t>(pcap[at + 2])) << 16 |
               static_cast<uint32_t>(static_cast<uint8_t>(pcap[at + 3])) << 24;
    };
    ASSERT_GE(pcap.size(), 48u);
    EXPECT_EQ(u32(0), 0x0A0D0D0Au);
    EXPECT_EQ(u32(28), 1u);             // interface description
    EXPECT_EQ(u32(36) & 0xFFFF, 147u);  // LINKTYPE_USER0
    std::vector<uint32_t> directions;
    size_t packets = 0;
    for (size_t at = 48; at + 12 <= pcap.size(); at += u32(at + 4)) {
        ASSERT_EQ(u32(at), 6u);
        ++packets;
        // The flags option is the last before the end of options.
        size_t end = at + u32(at + 4);
        directions.push_back(u32(end - 16) == 0x00040002u ? u32(end - 12) : 0);
    }
    EXPECT_EQ(packets, 15u);            // every frame, reply and discarded chunk of the run
    EXPECT_EQ(directions.front(), 2u);  // outbound: the status command
    EXPECT_EQ(directions[1], 1u);       // inbound: its ACK
}
