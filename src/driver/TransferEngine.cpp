#include "driver/TransferEngine.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "config/Config.h"
#include "ecrcomm/EcrComm.h"
#include "errors/Exceptions.h"
#include "errors/Log.h"
#include "fileIo/InputDataFile.h"
#include "fileIo/OutputDataFile.h"
#include "language/CodePage.h"
#include "platform/Clock.h"
#include "tools/RunState.h"
#include "tools/TextTools.h"

namespace {

constexpr const char* Module = "src/driver";
constexpr int32_t EndFrameTimeout = 1400;
constexpr int DefaultSleepBetweenCommands = 400;

constexpr int64_t ProgressFlushMs = 100;

// The progress line is redrawn for every record, but reaches the console at
// most every ProgressFlushMs: a console write per record cost more than the
// record's frame. The first and the closing line go out at once.
void Progress(const char* format, uint32_t count, bool atOnce = false) {
    static int64_t lastFlushMs = 0;
    printf(format, count);
    int64_t now = platform::MonotonicMilliseconds();
    if (atOnce || now - lastFlushMs >= ProgressFlushMs) {
        fflush(stdout);
        lastFlushMs = now;
    }
}

void ShowRequestSent() {
    printf("Sending data I/O request...\r");
    fflush(stdout);
}

void BlankProgressLine() {
    printf("                           \r");
    fflush(stdout);
}

// A problem with the data that does not stop the run: on the console and in
// both logs, and the run ends with exit code 2.
void ReportDataProblem(const std::string& text) {
    printf("%s\n", text.c_str());
    fflush(stdout);
    LogWrite(LogBoth, text, true);
    DataErrorFlag = true;
}

char Printable(uint8_t byte) { return byte >= 0x20 && byte < 0x7F ? static_cast<char>(byte) : '?'; }

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

    // A file whose every line was rejected is not what the user meant to
    // send: an empty block would wipe the ECR's table. A file without any
    // line still sends its empty block, which may be meant.
    const uint32_t available = input->RecordCount();
    if (available == 0 && input->LineCount() > 0) {
        input->Close();
        ReportDataProblem("No valid record in the file: nothing was sent");
        return;
    }
    if (available > descriptor->maxRecords) {
        ReportDataProblem(FormatString("Record limit %u exceeded: %u record(s) not sent, the first left out is %s",
                                       descriptor->maxRecords, available - descriptor->maxRecords,
                                       input->DescribeRecord(descriptor->maxRecords).c_str()));
    }

    ShowRequestSent();
    link.SendCommand(descriptor->ecrCommand);
    BlankProgressLine();
    link.SetOperationTimeout(descriptor->operationTime);

    descriptor->recordCount = 0;
    Progress("Records sent: %u\r", 0, true);
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
    Progress("Records sent: %u\n", descriptor->recordCount, true);
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
    Progress("Records read: %u\r", 0, true);

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
    // The report is cleared on the ECR only after a clean read whose copy is
    // safely on disk: every frame made a good record and the block checksum
    // of the frames matched the register's. Otherwise the records stay in the
    // file and the report stays on the ECR for another read. A read has no
    // input file, so a data error can only come from a frame of this read.
    const bool blockMatched = link.readBlockMatched;
    const bool clean = blockMatched && !DataErrorFlag;
    if (descriptor->clearCommand != 0 && clean) output->SyncToDisk();
    output->Close();
    output.reset();
    Progress("Records read: %u\n", descriptor->recordCount, true);

    if (!blockMatched) {
        ReportDataProblem(FormatString("Block checksum mismatch: the ECR sent %c%c, the frames received give %02X",
                                       Printable(link.readEndDigits[0]), Printable(link.readEndDigits[1]),
                                       static_cast<unsigned>(link.readBlockChecksum)));
    }
    if (descriptor->clearCommand == 0) return;
    if (!clean) {
        ReportDataProblem("Report not cleared: the read was not clean");
        return;
    }
    platform::SleepMilliseconds(TheConfig().GetInt("SleepBetweenCommands", DefaultSleepBetweenCommands));
    printf("Clearing data\n");
    fflush(stdout);
    link.SendCommand(descriptor->clearCommand);
}
