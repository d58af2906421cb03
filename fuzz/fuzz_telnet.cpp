// The telnet / RFC 2217 decoder on what a hostile serial device server may
// send, split into reads at places the input chooses: the output stays
// bounded by the input, and decoding in pieces gives what decoding at once gives.
#include <algorithm>

#include "FuzzSupport.h"
#include "serial/network/TelnetCodec.h"

namespace telnet = serial::telnet;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Input input(data, size);
    const size_t step = input.Byte() % 16 + 1;
    const std::string stream = input.Rest();
    const auto* bytes = reinterpret_cast<const uint8_t*>(stream.data());

    telnet::Decoder whole;
    std::vector<uint8_t> wholeData;
    std::vector<telnet::Event> wholeEvents;
    whole.Decode(bytes, stream.size(), wholeData, wholeEvents);
    FUZZ_CHECK(wholeData.size() <= stream.size());
    FUZZ_CHECK(wholeEvents.size() * 3 <= stream.size());

    telnet::Decoder pieces;
    std::vector<uint8_t> pieceData;
    std::vector<telnet::Event> pieceEvents;
    for (size_t at = 0; at < stream.size(); at += step)
        pieces.Decode(bytes + at, std::min(step, stream.size() - at), pieceData, pieceEvents);
    FUZZ_CHECK(pieceData == wholeData);
    FUZZ_CHECK(pieceEvents.size() == wholeEvents.size());
    for (size_t i = 0; i < wholeEvents.size(); ++i) {
        const auto& event = wholeEvents[i];
        FUZZ_CHECK(event.value.size() < telnet::Decoder::MaxSubnegotiation);
        FUZZ_CHECK(event.value == pieceEvents[i].value && event.option == pieceEvents[i].option);
        FUZZ_CHECK(!telnet::Describe(event).empty());
    }

    // Escaping the decoded data and decoding it again gives it back unchanged.
    std::vector<uint8_t> escaped;
    telnet::AppendEscaped(wholeData.data(), wholeData.size(), escaped);
    telnet::Decoder again;
    std::vector<uint8_t> roundTrip;
    std::vector<telnet::Event> noEvents;
    again.Decode(escaped.data(), escaped.size(), roundTrip, noEvents);
    FUZZ_CHECK(roundTrip == wholeData && noEvents.empty());
    return 0;
}
