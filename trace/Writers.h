#pragma once
// Writers of decoded runs: readable text, one JSON object per event, and
// pcapng packets for Wireshark.
#include <cstddef>
#include <ostream>
#include <string>
#include <vector>

#include "trace/LinkDecoder.h"

namespace trace {

// One readable line per event, and a count of what the link saw at the end.
void WriteText(std::ostream& out, size_t runNumber, const std::vector<LinkEvent>& events);

// One JSON object per line for each event; "run" names the run (from 1).
void WriteJson(std::ostream& out, size_t runNumber, const std::vector<LinkEvent>& events);

// The summary of one event as WriteText shows it, without offset and direction.
std::string Describe(const LinkEvent& event);

// A pcapng file: one interface of link type LINKTYPE_USER0 (147), one
// enhanced packet per frame or control byte that crossed the line, with its
// direction in the packet flags, its time and its summary as comment.
std::string PcapFile(const std::vector<LinkEvent>& events);

inline constexpr int PcapLinkType = 147;

}  // namespace trace
