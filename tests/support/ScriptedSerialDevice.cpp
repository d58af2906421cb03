#include "support/ScriptedSerialDevice.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

#include "platform/SystemError.h"

namespace {

bool Fail(int error) {
    platform::SetLastSystemError(static_cast<unsigned>(error));
    return false;
}

}  // namespace

bool ScriptedSerialDevice::Open(const std::string& path) {
    script->openedPath = path;
    if (script->openError != 0) return Fail(script->openError);
    script->open = true;
    ++script->openCount;
    return true;
}

bool ScriptedSerialDevice::Apply(const serial::SerialSettings& settings) {
    if (!script->open) return Fail(EBADF);
    if (script->applyError != 0) return Fail(script->applyError);
    script->applied.push_back(settings);
    script->dtrOn = settings.dtrControl != serial::LineControl::Off;
    return true;
}

bool ScriptedSerialDevice::SetQueueSizes(uint32_t, uint32_t) { return script->open || Fail(EBADF); }

bool ScriptedSerialDevice::SetTimeouts(const serial::SerialTimeouts& timeouts) {
    if (!script->open) return Fail(EBADF);
    script->timeouts = timeouts;
    script->timeoutsSet.push_back(timeouts);
    return true;
}

bool ScriptedSerialDevice::GetTimeouts(serial::SerialTimeouts& timeouts) {
    if (!script->open) return Fail(EBADF);
    timeouts = script->timeouts;
    return true;
}

bool ScriptedSerialDevice::Read(uint8_t* buffer, size_t size, size_t& received) {
    received = 0;
    if (!script->open) return Fail(EBADF);
    if (script->readDelayMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(script->readDelayMs));
    if (script->readError != 0) return Fail(script->readError);
    if (script->input.empty()) return true;
    Chunk& chunk = script->input.front();
    received = std::min(size, chunk.size());
    std::memcpy(buffer, chunk.data(), received);
    chunk.erase(chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(received));
    if (chunk.empty()) script->input.pop_front();
    return true;
}

bool ScriptedSerialDevice::Write(const uint8_t* buffer, size_t count, size_t& written) {
    written = 0;
    if (!script->open) return Fail(EBADF);
    if (script->writeError != 0) return Fail(script->writeError);
    written = std::min(count, script->writeLimit);
    script->writes.emplace_back(buffer, buffer + written);
    if (!script->replies.empty()) {
        for (const Chunk& chunk : script->replies.front())
            if (!chunk.empty()) script->input.push_back(chunk);
        script->replies.pop_front();
    }
    return true;
}

bool ScriptedSerialDevice::GetModemStatus(uint32_t& status) {
    if (!script->open) return Fail(EBADF);
    if (!script->hasModemLines) return Fail(ENOTTY);
    status = script->modemStatus;
    return true;
}

bool ScriptedSerialDevice::ClearDtr() {
    if (!script->open) return Fail(EBADF);
    if (!script->hasModemLines) return Fail(ENOTTY);
    script->dtrOn = false;
    return true;
}

bool ScriptedSerialDevice::Flush() {
    if (!script->open) return Fail(EBADF);
    ++script->flushCount;
    return true;
}

void ScriptedSerialDevice::Close() {
    if (!script->open) return;
    script->open = false;
    ++script->closeCount;
}
