#pragma once
// Verification of a send by a read-back: the records the send sent (the
// send file after the driver's own check, sort and de-duplication, less the
// lines the driver refused on the send's console, up to the command's
// limit) and the records read back, both converted by the send command's
// own handler into the frames the register receives, compared record by
// record.
#include <string>
#include <vector>

#include "fleet/Operations.h"

struct VerifyResult {
    bool matched = false;
    long long records = 0;  // records sent and compared
    long long differenceCount = 0;
    std::vector<std::string> differences;  // the first few, for the summary and verify.txt
    std::string Summary() const;           // "verified N records" or the first differences
};

struct VerifyInput {
    CommandInfo send;
    std::string sentFile;     // the file as the send attempt had it
    std::string sentConsole;  // that attempt's console text
    std::string readFile;     // the read-back
    std::string delimiter;    // the INI's Delimiter
    bool ignoreDuplicates = false;
    // The send replaces the register's whole table: records on the
    // register that were not sent are differences too.
    bool replacesTable = false;
    std::string workDir;  // for a temporary file
};

VerifyResult VerifySend(const VerifyInput& input);

// The send file checked as the driver checks it for a register with names
// of `nameLength` characters, without a register: records ready to send and
// lines refused (bad or duplicate). FleetError text in `error` when it
// cannot be read.
struct FileCheck {
    long long records = 0;
    long long unusedLines = 0;
    std::string error;
};
FileCheck CheckSendFile(const CommandInfo& send, const std::string& path, const std::string& delimiter, int nameLength);
