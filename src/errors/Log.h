#pragma once
// The two append-only run logs: the standard log and the debug error log.
#include <cstdint>
#include <string>

#include "platform/LockedFile.h"

enum LogDestination : int {
    LogStandard = 1,
    LogDebug = 2,
    LogBoth = 3,
};

inline constexpr char StandardLogFileName[] = "KVT5100.log";
inline constexpr char DebugLogFileName[] = "dbgerror.log";

// Retention settings; LoadCommonSettings fills them from section Common.
struct LogRetention {
    int standardLog = 1;  // >= 1 keeps the run's text in the standard log
    int dbgErrorLog = 0;  // 0 never, 1 on failure, 2 on failure or link errors, 3 always
};
inline LogRetention LogSettings;

class LogFile {
public:
    ~LogFile();
    void Open(const std::string& path);   // throws DriverErrorException "Can't open file '...'"
    void Write(const std::string& text);  // every "\n" reaches the file as CR LF; flushed at once
    // Like Write, but the text may wait with others for one write to the
    // file: until the next Write, Flush or Close, HoldBytes of held text, or
    // HoldMs after the oldest held text (checked at the next Hold).
    void Hold(const std::string& text);
    void Flush();
    void Close(bool keep);
    // For a log the settings say is never kept: what it holds of this run
    // is dropped and nothing more is written, so that a run does not spend
    // its time on text it throws away. The file stays open and locked.
    void StopRecording();
    bool IsOpen() const { return isOpen; }
    bool IsRecording() const { return isOpen && recording; }
    const std::string& Path() const { return path; }

    static constexpr size_t HoldBytes = 16 * 1024;
    static constexpr int64_t HoldMs = 100;

private:
    void Append(const std::string& text);

    platform::LockedFile file;
    std::string held;  // text not yet written, CR LF already in place
    int64_t heldSinceMs = 0;
    std::string path;
    uint64_t startLength = 0;
    bool isOpen = false;
    bool recording = true;
};

LogFile& StandardLogFile();
LogFile& DebugLogFile();

void OpenLogs();
// True when `path` names the file of an open log, by whatever name.
bool IsOpenLogFile(const std::string& path);
void LogWrite(int destinations, const std::string& text, bool newEntry);
// A line of the byte trace for the debug log. Trace lines come several per
// frame, so they are written to the file in batches (LogFile::Hold).
void LogTrace(const std::string& text);
// False when trace lines would be thrown away unread: they need not be made.
bool TraceWanted();
// linkErrorCount is EcrComm::ErrorCount() (0 when the link was never opened).
void CloseLogs(int exitCode, int linkErrorCount);

// "\n%02d.%02d.%04d %02d:%02d:%02d.%03d " for the current local time.
std::string LogTimeStamp();
