#pragma once
// The console that a tool prints UTF-8 text on.

namespace platform {

// Makes the console show UTF-8 output as text (a Windows console otherwise
// shows it in its OEM code page); nothing to do where the terminal is UTF-8.
void UseUtf8Console();

}  // namespace platform
