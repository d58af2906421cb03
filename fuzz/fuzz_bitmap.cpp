// The logo bitmap loader over a file written from the input, read row by row
// as the send transfer does.
#include <cstring>
#include <vector>

#include "FuzzSupport.h"
#include "errors/Exceptions.h"
#include "fileIo/BitmapInputFile.h"
#include "io_Logo/LogoOperation.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static OperationDescriptor logo = [] {
        OperationDescriptor descriptor{};
        LogoSendHandler(PhaseDescribe, &descriptor);
        return descriptor;
    }();
    static const fuzz::ScratchFile scratch("bitmap");
    const std::string& path = scratch.path;
    fuzz::WriteFile(path, std::string(reinterpret_cast<const char*>(data), size));

    OperationDescriptor descriptor = logo;
    BitmapInputFile bitmap;
    try {
        bitmap.Open(path.c_str(), LogoSendHandler, &descriptor);
    } catch (const FileIoException&) {
        return 0;  // not a bitmap the ECR can print
    } catch (const DriverErrorException&) {
        return 0;
    }

    // Each row comes out as width / 8 bytes, in a buffer no larger than needed.
    const size_t rowBytes = (descriptor.bitmapWidth + 7) / 8;
    uint32_t index = 0;
    for (;; ++index) {
        std::vector<char> buffer(RecordTextSize);
        int count = bitmap.GetRecord(index, buffer.data(), buffer.size());
        if (count == 0) break;
        FUZZ_CHECK(static_cast<size_t>(count) == rowBytes);
        FUZZ_CHECK(index < descriptor.maxRecords);
    }
    FUZZ_CHECK(index >= 1);
    bitmap.Close();
    char buffer[1];
    FUZZ_CHECK(bitmap.GetRecord(0, buffer, sizeof buffer) == 0);
    return 0;
}
