// Input data files on POSIX: a pipe given as the file name.
#include <gtest/gtest.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "driver/Operation.h"
#include "errors/Exceptions.h"
#include "fileIo/InputDataFile.h"

namespace {

int AcceptAll(int phase, OperationDescriptor*) { return phase == PhaseCheck ? 1 : 0; }

}  // namespace

// A pipe cannot be read again by position: refused while loading, before
// anything would be sent.
TEST(TransferInputFile, PipeIsRefusedWhileLoading) {
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    ASSERT_EQ(write(ends[1], "1,a\n", 4), 4);
    close(ends[1]);
    std::string pipePath = "/dev/fd/" + std::to_string(ends[0]);
    auto descriptor = std::make_unique<OperationDescriptor>();
    auto piped = CreateInputDataFile(FileKindText);
    testing::internal::CaptureStdout();
    try {
        piped->Open(pipePath.c_str(), AcceptAll, descriptor.get());
        ADD_FAILURE() << "no exception";
    } catch (const FileIoException& e) {
        EXPECT_EQ(e.GetMessage(), "Unable to read file '" + pipePath + "'");
    }
    testing::internal::GetCapturedStdout();
    close(ends[0]);
}
