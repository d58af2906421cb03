#include "io_Report/RecordText.h"

#include <cstring>

#include "errors/Log.h"
#include "tools/FieldTools.h"
#include "tools/RunState.h"
#include "tools/TextTools.h"

namespace {

int CopyBounded(char* destination, size_t size, const std::string& source) {
    size_t length = source.size() < size - 1 ? source.size() : size - 1;
    std::memcpy(destination, source.data(), length);
    destination[length] = '\0';
    return static_cast<int>(length);
}

}  // namespace

int StoreRecordText(OperationDescriptor* descriptor, const std::string& line) {
    return CopyBounded(descriptor->text, sizeof descriptor->text, line);
}

int StoreFrameData(OperationDescriptor* descriptor, const std::string& data) {
    return CopyBounded(descriptor->frame, sizeof descriptor->frame, data);
}

int SplitReceivedFrame(const OperationDescriptor* descriptor) {
    // The frame buffer is NUL-terminated by the link; bound the scan anyway.
    size_t length = strnlen(descriptor->frame, sizeof descriptor->frame);
    return SharedFieldList().Split(std::string(descriptor->frame, length), EcrFieldSeparator);
}

int SplitReceivedFrameWithName(const OperationDescriptor* descriptor, int nameIndex, int nameWidth) {
    std::string frame(descriptor->frame, strnlen(descriptor->frame, sizeof descriptor->frame));
    size_t start = 0;
    for (int field = 0; field < nameIndex && start != std::string::npos; ++field) {
        start = frame.find_first_of(",\"", start);
        if (start != std::string::npos) start = frame[start] == ',' ? start + 1 : std::string::npos;
    }
    if (start == std::string::npos) return SharedFieldList().Split(frame, EcrFieldSeparator);
    const size_t close = start + 1 + (nameWidth > 0 ? static_cast<size_t>(nameWidth) : 0);
    if (close < frame.size() && frame[start] == '"' && frame[close] == '"' &&
        (close + 1 == frame.size() || frame[close + 1] == ',')) {
        // Written again with its inner quotes doubled, the name splits whole.
        std::string name(1, '"');
        for (size_t at = start + 1; at < close; ++at) {
            if (frame[at] == '"') name += '"';
            name += frame[at];
        }
        frame.replace(start, close - start, name);
    }
    return SharedFieldList().Split(frame, EcrFieldSeparator);
}

void ReportUnexpectedFrame(const OperationDescriptor* descriptor) {
    LogWrite(LogBoth, FormatString("Record %u: unexpected data frame format", descriptor->recordCount + 1), true);
    DataErrorFlag = true;
}

int StoreUnexpectedFrame(OperationDescriptor* descriptor) {
    size_t length = strnlen(descriptor->frame, sizeof descriptor->frame);
    ReportUnexpectedFrame(descriptor);
    return StoreRecordText(descriptor, std::string(descriptor->frame, length));
}
