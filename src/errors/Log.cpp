#include "errors/Log.h"

#include <cstdio>

#include "errors/Exceptions.h"
#include "platform/Clock.h"
#include "platform/FileIdentity.h"
#include "platform/Files.h"

LogFile::~LogFile() { Close(true); }

void LogFile::Open(const std::string& filePath) {
    if (isOpen) Close(false);
    path = filePath;
    if (!file.Open(path)) throw DriverErrorException("Can't open file '" + path + "'");
    startLength = file.Length();
    isOpen = true;
    recording = true;
}

void LogFile::Append(const std::string& text) {
    if (!recording) return;
    if (held.empty()) heldSinceMs = platform::MonotonicMilliseconds();
    held.reserve(held.size() + text.size() + 16);
    size_t from = 0;
    for (size_t at = text.find('\n'); at != std::string::npos; at = text.find('\n', at + 1)) {
        held.append(text, from, at - from);
        held += "\r\n";
        from = at + 1;
    }
    held.append(text, from, std::string::npos);
}

// A failed write is ignored: the log must never end the run it describes.
void LogFile::Flush() {
    if (!isOpen || held.empty()) return;
    file.Append(held.data(), held.size());
    held.clear();
}

void LogFile::Write(const std::string& text) {
    if (!isOpen) return;
    Append(text);
    Flush();
}

void LogFile::Hold(const std::string& text) {
    if (!isOpen) return;
    Append(text);
    if (held.size() >= HoldBytes || platform::MonotonicMilliseconds() - heldSinceMs >= HoldMs) Flush();
}

void LogFile::Close(bool keep) {
    if (!isOpen) return;
    Flush();
    if (keep) startLength = file.Length();
    else file.Truncate(startLength);
    // An empty log is removed while the lock is still held, so another run
    // cannot have opened the file in between.
    if (startLength == 0) platform::RemoveFile(path);
    file.Close();
    isOpen = false;
}

void LogFile::StopRecording() {
    if (!isOpen || !recording) return;
    held.clear();
    file.Truncate(startLength);
    recording = false;
}

LogFile& StandardLogFile() {
    static LogFile log;
    return log;
}

LogFile& DebugLogFile() {
    static LogFile log;
    return log;
}

void OpenLogs() {
    StandardLogFile().Open(StandardLogFileName);
    DebugLogFile().Open(DebugLogFileName);
}

bool IsOpenLogFile(const std::string& path) {
    for (const LogFile* log : {&StandardLogFile(), &DebugLogFile()}) {
        if (log->IsOpen() && platform::IsSameFile(path, log->Path())) return true;
    }
    return false;
}

std::string LogTimeStamp() {
    platform::LocalTime now = platform::GetLocalTime();
    char stamp[64];
    std::snprintf(stamp, sizeof stamp, "\n%02d.%02d.%04d %02d:%02d:%02d.%03d ", now.day, now.month, now.year, now.hour,
                  now.minute, now.second, now.millisecond);
    return stamp;
}

void LogWrite(int destinations, const std::string& text, bool newEntry) {
    std::string entry = newEntry ? LogTimeStamp() + " " + text : text;
    if (destinations & LogStandard) StandardLogFile().Write(entry);
    if (destinations & LogDebug) DebugLogFile().Write(entry);
}

void LogTrace(const std::string& text) { DebugLogFile().Hold(text); }

bool TraceWanted() { return DebugLogFile().IsRecording(); }

void CloseLogs(int exitCode, int linkErrorCount) {
    int debug = LogSettings.dbgErrorLog;
    bool keepDebug =
        debug >= 3 || (debug == 2 && (exitCode != 0 || linkErrorCount > 0)) || (debug == 1 && exitCode != 0);
    DebugLogFile().Close(keepDebug);
    StandardLogFile().Close(LogSettings.standardLog >= 1);
}
