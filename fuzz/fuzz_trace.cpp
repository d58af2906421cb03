// The trace reader and decoder of kvttrace on any text: either the text is
// refused with a message, or it reads into runs that decode and write
// without harm, every event pointing at a line of the text.
#include <sstream>

#include "FuzzSupport.h"
#include "trace/LinkDecoder.h"
#include "trace/TraceLog.h"
#include "trace/Writers.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    trace::TraceLog log;
    std::string error;
    if (!trace::ParseLog(text, log, error)) {
        FUZZ_CHECK(!error.empty());
        return 0;
    }
    FUZZ_CHECK(!log.runs.empty());
    size_t lines = 1;
    for (char ch : text) lines += ch == '\n';
    for (size_t i = 0; i < log.runs.size(); ++i) {
        std::vector<trace::LinkEvent> events = trace::DecodeRun(log.runs[i], trace::DecodeOptions{1257, 57});
        for (const trace::LinkEvent& event : events) {
            FUZZ_CHECK(event.line <= lines);
            FUZZ_CHECK(event.bytes.size() <= size);
        }
        std::ostringstream out;
        trace::WriteText(out, i + 1, events);
        trace::WriteJson(out, i + 1, events);
        FUZZ_CHECK(trace::PcapFile(events).size() % 4 == 0);
    }
    return 0;
}
