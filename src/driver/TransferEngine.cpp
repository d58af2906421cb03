#include "driver/TransferEngine.h"

#include <cstdio>
#include <cstring>

#include "config/Config.h"
#include "ecrcomm/EcrComm.h"
#include "errors/Exceptions.h"
#include "fileIo/InputDataFile.h"
#include "fileIo/OutputDataFile.h"
#include "language/CodePage.h"
#include "platform/Clock.h"

namespace {

constexpr const char* Module = "src/driver";
constexpr int32_t EndFrameTimeout = 1400;
constexpr int DefaultSleepBetweenCommands = 400;

void Progress(const char* format, uint32_t count) {
    printf(format, count);
    fflush(stdout);
}

void ShowRequestSent() {
    printf("Sending data I/O request...\r");
    fflush(stdout);
}

void BlankProgressLine() {
    printf("                           \r");
    fflush(stdout);
}

// A handler's record length, checked against the buffer it describes.
size_t CheckedLength(int length, size_t bufferSize) {
    if (length < 0) THROW_INTERNAL_ERROR(Module);
    return static_cast<size_t>(length) < bufferSize ? static_cast<size_t>(length) : bufferSize;
}

}  // namespace

void RunSendTransfer(OperationHandler handler, OperationDescriptor* descriptor) {
    if (handler == nullptr || descriptor == nullptr) THROW_INTERNAL_ERROR(Module);
    EcrComm& link = TheEcrComm();
    // Bitmap rows are bytes, not text: the code page never touches them.
    const bool translate = descriptor->fileKind != FileKindBitmap;

    std::unique_ptr<InputDataFile> input = CreateInputDataFile(descriptor->fileKind);
    input->Open(descriptor->fileName, handler, descriptor);

    ShowRequestSent();
    link.SendCommand(descriptor->ecrCommand);
    BlankProgressLine();
    link.SetOperationTimeout(descriptor->operationTime);

    descriptor->recordCount = 0;
    Progress("Records sent: %u\r", 0);
    int fetched = input->GetRecord(descriptor->recordCount, descriptor->text, RecordTextSize);
    while (fetched != 0 && descriptor->recordCount < descriptor->maxRecords) {
        if (translate) ToEcrCodePage(descriptor->text, strnlen(descriptor->text, RecordTextSize));
        // A length beyond the frame buffer is passed on capped: the link
        // refuses any frame over its limit, so nothing truncated is ever sent.
        size_t length = CheckedLength(handler(PhaseConvert, descriptor), RecordFrameSize);
        link.SendDataFrame(descriptor->frame, static_cast<uint16_t>(length));
        ++descriptor->recordCount;
        Progress("Records sent: %u\r", descriptor->recordCount);
        fetched = input->GetRecord(descriptor->recordCount, descriptor->text, RecordTextSize);
    }

    link.SetOperationTimeout(EndFrameTimeout);
    link.SendEndFrame();
    input->Close();
    input.reset();
    Progress("Records sent: %u\n", descriptor->recordCount);
}

void RunReadTransfer(OperationHandler handler, OperationDescriptor* descriptor) {
    if (handler == nullptr || descriptor == nullptr) THROW_INTERNAL_ERROR(Module);
    EcrComm& link = TheEcrComm();
    // Byte records (the fiscal memory dump) are written exactly as received.
    const bool binary = descriptor->fileKind == FileKindBinary;

    std::unique_ptr<OutputDataFile> output = CreateOutputDataFile(descriptor->fileKind);
    output->Open(descriptor->fileName);

    ShowRequestSent();
    link.SendCommand(descriptor->ecrCommand);
    BlankProgressLine();
    link.SetOperationTimeout(descriptor->operationTime);
    descriptor->recordCount = 0;
    Progress("Records read: %u\r", 0);

    while (link.ReadFrame(descriptor->frame, RecordFrameSize, descriptor->replyLength)) {
        descriptor->frame[RecordFrameSize - 1] = '\0';
        size_t length = CheckedLength(handler(PhaseConvert, descriptor), RecordTextSize);
        if (!binary) {
            // A text record is a NUL-terminated line inside the text buffer.
            if (length >= RecordTextSize) length = RecordTextSize - 1;
            descriptor->text[RecordTextSize - 1] = '\0';
            ToPcCodePage(descriptor->text, length);
        }
        output->WriteRecord(descriptor->text, length);
        ++descriptor->recordCount;
        Progress("Records read: %u\r", descriptor->recordCount);
    }
    output->Close();
    output.reset();
    Progress("Records read: %u\n", descriptor->recordCount);

    if (descriptor->clearCommand != 0) {
        platform::SleepMilliseconds(TheConfig().GetInt("SleepBetweenCommands", DefaultSleepBetweenCommands));
        printf("Clearing data\n");
        fflush(stdout);
        link.SendCommand(descriptor->clearCommand);
    }
}
