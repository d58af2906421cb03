#include "driver/TransferEngine.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "config/Config.h"
#include "ecrcomm/EcrComm.h"
#include "errors/Exceptions.h"
#include "errors/Log.h"
#include "fileIo/InputDataFile.h"
#include "fileIo/OutputDataFile.h"
#include "io_Report/RecordText.h"
#include "language/CodePage.h"
#include "platform/Clock.h"
#include "platform/FileIdentity.h"
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

// Where the data of a failing run is: on the console and in both logs.
void ReportSavedData(const std::string& text) {
    printf("%s\n", text.c_str());
    fflush(stdout);
    LogWrite(LogBoth, text, true);
}

char Printable(uint8_t byte) { return byte >= 0x20 && byte < 0x7F ? static_cast<char>(byte) : '?'; }

// A handler's record length, checked against the buffer it describes.
size_t CheckedLength(int length, size_t bufferSize) {
    if (length < 0) THROW_INTERNAL_ERROR(Module);
    return static_cast<size_t>(length) < bufferSize ? static_cast<size_t>(length) : bufferSize;
}

// Every later step takes a received record as a terminated string, so a NUL
// byte in a frame would silently cut the record there. Each one becomes '?'
// instead; true when there was one.
bool MarkNulBytes(char* frame, size_t length) {
    bool found = false;
    for (size_t i = 0; i < length && i < RecordFrameSize - 1; ++i) {
        if (frame[i] == '\0') {
            frame[i] = '?';
            found = true;
        }
    }
    return found;
}

// Opens and checks the input file of a send, reporting a file with no valid
// line and records beyond the command's limit.
std::unique_ptr<InputDataFile> LoadInputFile(OperationHandler handler, OperationDescriptor* descriptor) {
    std::unique_ptr<InputDataFile> input = CreateInputDataFile(descriptor->fileKind);
    input->Open(descriptor->fileName, handler, descriptor);

    // A file whose every line was rejected is not what the user meant to
    // send: an empty block would wipe the ECR's table. A file without any
    // line still sends its empty block, which may be meant.
    const uint32_t available = input->RecordCount();
    if (available == 0 && input->LineCount() > 0) {
        ReportDataProblem("No valid record in the file: nothing was sent");
        return input;
    }
    if (available > descriptor->maxRecords) {
        ReportDataProblem(FormatString("Record limit %u exceeded: %u record(s) not sent, the first left out is %s",
                                       descriptor->maxRecords, available - descriptor->maxRecords,
                                       input->DescribeRecord(descriptor->maxRecords).c_str()));
    }
    return input;
}

bool NothingToSend(const InputDataFile& input) { return input.RecordCount() == 0 && input.LineCount() > 0; }

}  // namespace

void RunSendTransfer(OperationHandler handler, OperationDescriptor* descriptor) {
    if (handler == nullptr || descriptor == nullptr) THROW_INTERNAL_ERROR(Module);
    EcrComm& link = TheEcrComm();

    std::unique_ptr<InputDataFile> input = LoadInputFile(handler, descriptor);
    if (NothingToSend(*input)) {
        input->Close();
        return;
    }
    // Bitmap rows are bytes, not text, and a UTF-8 file's lines are the ECR's
    // bytes already: the code page table touches neither.
    const bool translate = descriptor->fileKind != FileKindBitmap && !input->GivesEcrText();

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

void RunSendCheck(OperationHandler handler, OperationDescriptor* descriptor) {
    if (handler == nullptr || descriptor == nullptr) THROW_INTERNAL_ERROR(Module);
    std::unique_ptr<InputDataFile> input = LoadInputFile(handler, descriptor);
    BlankProgressLine();

    const std::vector<RefusedLine>& refused = input->RefusedLines();
    if (!refused.empty()) printf("\nRefused lines:\n");
    for (const RefusedLine& entry : refused) printf("  Line %-5d: %s\n", entry.line, entry.reason.c_str());

    const uint32_t sent = std::min(input->RecordCount(), descriptor->maxRecords);
    const std::string summary =
        sent == 0 ? std::string("Records that would be sent: 0")
                  : FormatString("Records that would be sent: %u, the first %s, the last %s", sent,
                                 input->DescribeRecord(0).c_str(), input->DescribeRecord(sent - 1).c_str());
    printf("\n%s\n", summary.c_str());
    fflush(stdout);
    LogWrite(LogBoth, summary, true);
    input->Close();
}

namespace {

// Receives the records of a read into `output` and puts the complete file in
// its place. True when the read was clean: every frame made a good record and
// the block checksum of the frames matched the register's.
bool ReceiveRecords(OperationHandler handler, OperationDescriptor* descriptor, OutputDataFile& output) {
    EcrComm& link = TheEcrComm();
    // Byte records (the fiscal memory dump) are written exactly as received.
    const bool binary = descriptor->fileKind == FileKindBinary;

    ShowRequestSent();
    link.SendCommand(descriptor->ecrCommand);
    BlankProgressLine();
    link.SetOperationTimeout(descriptor->operationTime);
    descriptor->recordCount = 0;
    Progress("Records read: %u\r", 0, true);

    while (link.ReadFrame(descriptor->frame, RecordFrameSize, descriptor->replyLength)) {
        descriptor->frame[RecordFrameSize - 1] = '\0';
        int converted = 0;
        if (MarkNulBytes(descriptor->frame, link.lastDataLength) && !binary) {
            // Kept whole as a malformed record (a byte record's handler flags
            // the '?' itself).
            LogWrite(LogDebug,
                     FormatString("Record %u: NUL byte in the frame, written as '?'", descriptor->recordCount + 1),
                     true);
            converted = StoreUnexpectedFrame(descriptor);
        } else {
            converted = handler(PhaseConvert, descriptor);
        }
        size_t length = CheckedLength(converted, RecordTextSize);
        if (!binary) {
            // A text record is a NUL-terminated line inside the text buffer.
            if (length >= RecordTextSize) length = RecordTextSize - 1;
            descriptor->text[RecordTextSize - 1] = '\0';
            ToPcCodePage(descriptor->text, length);
        }
        output.WriteRecord(descriptor->text, length);
        ++descriptor->recordCount;
        Progress("Records read: %u\r", descriptor->recordCount);
    }
    // The transfer reached its end: the file takes its name, flushed to disk,
    // whether the read was clean or not (a read with bad records ends with
    // exit code 2 and keeps what it got).
    output.Close();
    // A read has no input file, so a data error can only come from a frame of this read.
    return link.readBlockMatched && !DataErrorFlag;
}

}  // namespace

void RunReadTransfer(OperationHandler handler, OperationDescriptor* descriptor) {
    if (handler == nullptr || descriptor == nullptr || descriptor->fileName == nullptr) THROW_INTERNAL_ERROR(Module);
    EcrComm& link = TheEcrComm();
    // The driver's own settings are never overwritten by a report.
    if (platform::IsSameFile(descriptor->fileName, IniFilePath()))
        throw FileIoException(std::string("Unable to open file '") + descriptor->fileName + "'");

    std::unique_ptr<OutputDataFile> output = CreateOutputDataFile(descriptor->fileKind);
    output->Open(descriptor->fileName);
    bool clean = false;
    try {
        clean = ReceiveRecords(handler, descriptor, *output);
    } catch (const Exception&) {
        // The run fails; the file the user had is kept, and the logs say
        // where the records received so far are.
        const std::string kept = output->Abandon();
        if (!kept.empty()) LogWrite(LogBoth, kept, true);
        throw;
    }
    output.reset();
    Progress("Records read: %u\n", descriptor->recordCount, true);

    if (!link.readBlockMatched) {
        ReportDataProblem(FormatString("Block checksum mismatch: the ECR sent %c%c, the frames received give %02X",
                                       Printable(link.readEndDigits[0]), Printable(link.readEndDigits[1]),
                                       static_cast<unsigned>(link.readBlockChecksum)));
    }
    if (descriptor->clearCommand == 0) return;
    // The report is cleared on the ECR only after a clean read whose complete
    // copy is on disk under its name. Otherwise the records stay in the file
    // and the report stays on the ECR for another read.
    if (!clean) {
        ReportDataProblem("Report not cleared: the read was not clean");
        return;
    }
    platform::SleepMilliseconds(TheConfig().GetInt("SleepBetweenCommands", DefaultSleepBetweenCommands));
    printf("Clearing data\n");
    fflush(stdout);
    try {
        link.SendCommand(descriptor->clearCommand);
    } catch (const Exception&) {
        // The register may have cleared the report even though its answer was
        // lost: the file is then the only copy, and the same read and clear
        // again would overwrite it with the emptied report.
        ReportSavedData(std::string("The complete report is in '") + descriptor->fileName +
                        "'; the ECR may have cleared it: keep that file and do not repeat the read and clear "
                        "into the same file");
        throw;
    }
}
