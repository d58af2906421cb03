// Frame reading and the status request over a scripted serial device: the
// input is what the ECR sends.
//
// Input layout: a scenario byte, a parameter byte, then chunks. Each chunk is
// a control byte (low 7 bits: length; bit 7: the chunk begins the ECR's answer
// to the driver's next write) followed by its bytes. Chunks before the first
// flagged one are waiting on the line before the driver writes anything.
#include <filesystem>
#include <fstream>
#include <memory>
#include <vector>

#include "FuzzSupport.h"
#include "comport/ComPort.h"
#include "config/Config.h"
#include "ecrcomm/EcrComm.h"
#include "errors/Exceptions.h"
#include "support/ScriptedSerialDevice.h"

namespace {

enum Scenario { StatusRequest = 0, ReadTransfer = 1, SmallDestination = 2, SendTransfer = 3 };

constexpr size_t EngineFrameSize = 512;  // the transfer engine's frame buffer
constexpr int MaxFramesPerRun = 64;

std::shared_ptr<SerialScript> OpenLink() {
    auto script = std::make_shared<SerialScript>();
    const std::string dir = fuzz::ScratchPath("frames");
    std::filesystem::create_directories(dir);
    // No sleeps: the fuzzer must never wait.
    std::ofstream(dir + "/KVT5100.ini") << "[ECR_1]\r\nComNumber = 1\r\nGarbageMaxByteInterval = 0\r\n"
                                           "ComNakSleepTime = 0\r\nComGarbageSleepTime = 0\r\n"
                                           "SleepBetweenCommands = 0\r\nComRetryCount = 3\r\n";
    TheConfig().SetFile(dir + "/KVT5100.ini", true);
    TheConfig().SetSection("ECR_1", true);
    TheComPort().UseDevice(std::make_unique<ScriptedSerialDevice>(script));
    TheEcrComm().Open();
    TheEcrComm().ReadSettings();
    std::filesystem::remove_all(dir);
    return script;
}

void LoadScript(fuzz::Input& input, SerialScript& script) {
    script.input.clear();
    script.replies.clear();
    script.writes.clear();
    script.applied.clear();
    script.timeoutsSet.clear();
    bool inReplies = false;
    while (!input.Empty()) {
        const uint8_t control = input.Byte();
        std::string bytes = input.Bytes(control & 0x7F);
        Chunk chunk(bytes.begin(), bytes.end());
        if (control & 0x80) {
            script.replies.push_back({});
            inReplies = true;
        }
        if (chunk.empty()) continue;
        if (inReplies) script.replies.back().push_back(chunk);
        else script.input.push_back(chunk);
    }
}

// Expected frame length as the operations ask for it: variable or 4 to 256.
uint16_t ExpectedLength(uint8_t parameter) {
    if (parameter & 1) return VariableFrameLength;
    return static_cast<uint16_t>(4 + (parameter >> 1) % (FrameBufferSize - 3));
}

void Run(Scenario scenario, uint8_t parameter) {
    EcrComm& link = TheEcrComm();
    switch (scenario) {
        case StatusRequest: try { link.ReadStatus();
            } catch (const InternalErrorException&) {
                // A status text longer than its 8 characters, or a data frame
                // where the closing frame belongs: refused by design.
                return;
            }
            FUZZ_CHECK(link.ecrLanguage == -1);
            FUZZ_CHECK(link.ecrLevel >= 16 * -48 - 48 && link.ecrLevel <= 16 * 207 + 207);
            return;
        case ReadTransfer: {
            // As the transfer engine reads: a frame buffer of 512 bytes, so no
            // frame the ECR sends may be an internal error.
            const uint16_t expected = ExpectedLength(parameter);
            link.SendCommand(0x52);
            std::vector<char> frame(EngineFrameSize);
            for (int i = 0; i < MaxFramesPerRun; ++i) {
                if (!link.ReadFrame(frame.data(), EngineFrameSize, expected)) return;
            }
            return;
        }
        case SmallDestination: {
            // A destination of exactly largest + 1 bytes, so that ASan sees
            // any write past the data and its terminating zero.
            const uint16_t largest = static_cast<uint16_t>(3 + parameter % 126);
            const uint16_t expected = ExpectedLength(static_cast<uint8_t>(parameter * 37));
            std::unique_ptr<char[]> destination(new char[largest + 1u]);
            try {
                link.ReadFrame(destination.get(), largest, expected);
            } catch (const InternalErrorException&) {
                // A frame longer than the destination is refused, never copied.
            }
            return;
        }
        case SendTransfer: {
            link.SendCommand(0x51);
            const std::string record(parameter % (MaxDataFrameLength + 1), 'x');
            for (int i = 0; i < parameter % 5; ++i)
                link.SendDataFrame(record.data(), static_cast<uint16_t>(record.size()));
            link.SendEndFrame();
            return;
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static std::shared_ptr<SerialScript> script = OpenLink();
    fuzz::Input input(data, size);
    const Scenario scenario = static_cast<Scenario>(input.Byte() % 4);
    const uint8_t parameter = input.Byte();
    LoadScript(input, *script);

    EcrComm& link = TheEcrComm();
    link.stats = LinkStatistics{};
    try {
        Run(scenario, parameter);
    } catch (const CommunicationException&) {
        // No answer, a short frame or too many bad ones: the run ends here.
    }
    const LinkStatistics& stats = link.stats;
    FUZZ_CHECK(stats.outFrames >= 0 && stats.inFrames >= 0 && stats.nakCount >= 0 && stats.lostCount >= 0 &&
               stats.garbageCount >= 0);
    FUZZ_CHECK(stats.nakCount + stats.garbageCount <= (link.retryCount + 1) * (MaxFramesPerRun + 8));
    return 0;
}
