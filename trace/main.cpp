// kvttrace: reads the byte trace of the driver's debug log (dbgerror.log)
// and shows it as the link saw it, as JSON, or as pcapng for Wireshark.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "language/Utf8DataFiles.h"
#include "platform/Process.h"
#include "trace/LinkDecoder.h"
#include "trace/TraceLog.h"
#include "trace/Writers.h"

namespace {

constexpr char Usage[] =
    "usage: kvttrace decode [--json] [--run N] [--codepage CP] [--byte-interval MS] dbgerror.log\n"
    "       kvttrace pcap [--run N] [--codepage CP] [--byte-interval MS] dbgerror.log -o run.pcapng\n"
    "  --run N            only the Nth run of the log (from 1)\n"
    "  --codepage CP      the register's code page for data text (default 1257; 0: bytes as they are)\n"
    "  --byte-interval MS waits longer than this are shown as gaps (default 57)\n";

struct Arguments {
    std::string verb;
    std::string logPath;
    std::string outPath;
    bool json = false;
    size_t run = 0;  // 0: every run
    trace::DecodeOptions decode;
};

int Fail(const std::string& message) {
    std::cerr << "kvttrace: " << message << "\n";
    return 1;
}

bool ReadNumber(const std::string& text, long largest, long& value) {
    if (text.empty() || text.size() > 9) return false;
    value = 0;
    for (char ch : text) {
        if (ch < '0' || ch > '9') return false;
        value = value * 10 + (ch - '0');
    }
    return value <= largest;
}

bool ParseArguments(int argc, char** argv, Arguments& args, std::string& error) {
    auto refuse = [&error](const std::string& why) {
        error = why;
        return false;
    };
    if (argc < 2) return false;
    args.verb = argv[1];
    if (args.verb != "decode" && args.verb != "pcap") return refuse("unknown command '" + args.verb + "'");
    for (int i = 2; i < argc; ++i) {
        std::string word = argv[i];
        bool hasValue = i + 1 < argc;
        long number = 0;
        if (word == "--json" && args.verb == "decode") {
            args.json = true;
        } else if (word == "--run" && hasValue) {
            if (!ReadNumber(argv[++i], 1000000, number) || number == 0) return refuse("bad run number");
            args.run = static_cast<size_t>(number);
        } else if (word == "--codepage" && hasValue) {
            if (!ReadNumber(argv[++i], 65535, number) || (number != 0 && !IsUsableEcrCodePage(number)))
                return refuse(std::string("code page ") + argv[i] + " cannot be shown");
            args.decode.codePage = static_cast<int>(number);
        } else if (word == "--byte-interval" && hasValue) {
            if (!ReadNumber(argv[++i], 3600000, number)) return refuse("bad byte interval");
            args.decode.byteIntervalMs = static_cast<double>(number);
        } else if (word == "-o" && hasValue && args.verb == "pcap") {
            args.outPath = argv[++i];
        } else if (!word.empty() && word[0] == '-' && word.size() > 1) {
            return refuse("unknown option " + word);
        } else if (args.logPath.empty()) {
            args.logPath = word;
        } else {
            return refuse("more than one log named");
        }
    }
    if (args.logPath.empty()) return refuse("no log named");
    if (args.verb == "pcap" && args.outPath.empty()) return refuse("pcap needs -o FILE");
    return true;
}

std::string RunList(const trace::TraceLog& log) {
    std::string list;
    for (size_t i = 0; i < log.runs.size(); ++i) {
        const trace::Run& run = log.runs[i];
        list += "  run " + std::to_string(i + 1) + " (line " + std::to_string(run.firstLine) +
                "): " + (run.commandLine.empty() ? "(the log begins inside this run)" : run.commandLine) + "\n";
    }
    return list;
}

}  // namespace

int main(int argc, char** argv) {
    Arguments args;
    std::string error;
    if (argc == 2 && (std::string(argv[1]) == "--help" || std::string(argv[1]) == "-h")) {
        std::cout << Usage;
        return 0;
    }
    if (!ParseArguments(argc, argv, args, error)) {
        if (!error.empty()) std::cerr << "kvttrace: " << error << "\n";
        std::cerr << Usage;
        return 1;
    }
    platform::UseUtf8Console();
    std::error_code ignored;
    if (std::filesystem::is_directory(args.logPath, ignored)) return Fail(args.logPath + " is a folder, not a log");
    if (!std::filesystem::exists(args.logPath, ignored))
        return Fail(args.logPath +
                    " does not exist (a run with DbgErrorLog = 0 keeps no debug log; set it to 3 "
                    "and repeat the run)");
    std::ifstream in(args.logPath, std::ios::binary);
    if (!in) return Fail("cannot read " + args.logPath);
    std::ostringstream whole;
    whole << in.rdbuf();
    if (in.bad()) return Fail("cannot read " + args.logPath);

    trace::TraceLog log;
    if (!trace::ParseLog(whole.str(), log, error)) return Fail(args.logPath + ": " + error);
    if (args.run > log.runs.size())
        return Fail("the log holds " + std::to_string(log.runs.size()) + " run(s):\n" + RunList(log));
    if (args.verb == "pcap" && args.run == 0 && log.runs.size() > 1)
        return Fail("the log holds " + std::to_string(log.runs.size()) + " runs; pick one with --run N:\n" +
                    RunList(log));

    bool complete = true;
    std::string pcap;
    for (size_t i = 0; i < log.runs.size(); ++i) {
        if (args.run != 0 && args.run != i + 1) continue;
        std::vector<trace::LinkEvent> events = trace::DecodeRun(log.runs[i], args.decode);
        if (!events.empty() && events.back().kind == trace::EventKind::Unfinished) complete = false;
        if (args.verb == "pcap") pcap = trace::PcapFile(events);
        else if (args.json) trace::WriteJson(std::cout, i + 1, events);
        else trace::WriteText(std::cout, i + 1, events);
    }
    std::cout.flush();
    if (args.verb == "pcap") {
        std::ofstream out(args.outPath, std::ios::binary | std::ios::trunc);
        out.write(pcap.data(), static_cast<std::streamsize>(pcap.size()));
        out.close();
        if (!out) return Fail("cannot write " + args.outPath);
    }
    if (!complete) return Fail(args.logPath + ": the log ends before a run's outcome (cut short?)");
    return 0;
}
