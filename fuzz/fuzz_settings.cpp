// Serial settings strings: the parser, the port's handling of them and the
// byte time derived from the result.
#include <cstring>

#include "FuzzSupport.h"
#include "comport/ComPort.h"
#include "errors/Exceptions.h"
#include "serial/BytePacing.h"
#include "serial/SerialSettings.h"

namespace {

bool Same(const serial::SerialSettings& a, const serial::SerialSettings& b) {
    return a.baudRate == b.baudRate && a.dataBits == b.dataBits && a.parity == b.parity && a.stopBits == b.stopBits &&
           a.binaryMode == b.binaryMode && a.parityCheck == b.parityCheck && a.ctsOutputFlow == b.ctsOutputFlow &&
           a.dsrOutputFlow == b.dsrOutputFlow && a.dsrSensitivity == b.dsrSensitivity && a.xonXoff == b.xonXoff &&
           a.timeoutProcessing == b.timeoutProcessing && a.dtrControl == b.dtrControl && a.rtsControl == b.rtsControl &&
           a.eofChar == b.eofChar;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Input input(data, size);
    int32_t multiplier = 0;
    for (int i = 0; i < 4; ++i)
        multiplier = static_cast<int32_t>(static_cast<uint32_t>(multiplier) << 8 | input.Byte());
    const std::string text = input.Rest();

    serial::SerialSettings start;
    start.baudRate = 19200;
    start.dataBits = 8;
    serial::SerialSettings parsed = start;
    if (serial::ParseSerialSettings(text, parsed)) {
        FUZZ_CHECK(parsed.baudRate != 0);
        FUZZ_CHECK(parsed.dataBits >= 5 && parsed.dataBits <= 8);
        // Parsing the same string again changes nothing more.
        serial::SerialSettings again = parsed;
        FUZZ_CHECK(serial::ParseSerialSettings(text, again) && Same(again, parsed));
    } else {
        FUZZ_CHECK(Same(parsed, start));
    }

    serial::SerialSettings applied = start;
    try {
        ApplySettingsString(text, applied);
    } catch (const SystemErrorException&) {
        // An unreadable string: the port refuses to open.
    }
    FUZZ_CHECK(applied.baudRate != 0);
    const int bits = serial::BitsPerCharacter(applied);
    FUZZ_CHECK(bits >= 7 && bits <= 12);
    const uint32_t byteTime = serial::ByteTimeoutMs(applied, multiplier);
    FUZZ_CHECK(byteTime >= 1 && byteTime < serial::TimeoutImmediate);
    return 0;
}
