#pragma once
// Names of the ECR command codes, taken from the driver's own operation
// table and service command table.
#include <cstdint>
#include <string>

namespace trace {

// The command number a run was started with ("KVT5100 /K2 207 t.txt" gives
// 207); 0 when the command line names none.
int CommandNumberOf(const std::string& commandLine);

// "PLU table send (200)" for ECR code 0x51 in a run of command 200; every
// command using the code, joined by " / ", when the run's number does not
// decide; "status request" for the status code; "" when no command uses it.
std::string CommandName(uint8_t ecrCode, int runCommand);

}  // namespace trace
