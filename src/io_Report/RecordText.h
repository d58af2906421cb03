#pragma once
// Small helpers shared by the operation handlers: copying a finished record
// or frame into the descriptor, splitting a received frame, and the one way
// every read handler deals with a frame it cannot convert.
#include <string>

#include "driver/Operation.h"

// Copies `line` into descriptor->text (NUL-terminated, cut to fit the buffer);
// returns the number of characters stored.
int StoreRecordText(OperationDescriptor* descriptor, const std::string& line);

// Copies `data` into descriptor->frame (NUL-terminated, cut to fit the buffer);
// returns the number of characters stored.
int StoreFrameData(OperationDescriptor* descriptor, const std::string& data);

// Splits the received frame data into the shared field list with the frame
// separator; returns the number of fields (0 for an empty, blank or
// malformed frame, in which case the list must not be read).
int SplitReceivedFrame(const OperationDescriptor* descriptor);

// As SplitReceivedFrame, for a frame whose field `nameIndex` is a quoted
// name of exactly `nameWidth` characters, after fields without quotes: the
// name is taken by its width, so double quotes inside it are part of it. A
// frame without quotes at both ends of that place is split as it stands.
int SplitReceivedFrameWithName(const OperationDescriptor* descriptor, int nameIndex, int nameWidth);

// A received frame that does not have the layout of its record: the frame
// data goes unchanged into descriptor->text, so nothing is lost and the line
// stands out from normal records; "Record %u: unexpected data frame format"
// goes to both logs and DataErrorFlag is set, so the run ends "with errors".
// Returns the length of the stored line.
int StoreUnexpectedFrame(OperationDescriptor* descriptor);

// Logs the unexpected-frame line for the current record and sets DataErrorFlag.
void ReportUnexpectedFrame(const OperationDescriptor* descriptor);
