#include <algorithm>
#include <cmath>

#include "trace/Writers.h"

namespace trace {

namespace {

class Block {
public:
    explicit Block(uint32_t type) { U32(type), U32(0); }
    void U16(uint16_t value) { bytes.push_back(value & 0xFF), bytes.push_back(value >> 8); }
    void U32(uint32_t value) { U16(value & 0xFFFF), U16(value >> 16); }
    void Pad() {
        while (bytes.size() % 4 != 0) bytes.push_back(0);
    }
    void Raw(const void* data, size_t size) {
        auto* at = static_cast<const uint8_t*>(data);
        bytes.insert(bytes.end(), at, at + size);
        Pad();
    }
    void Option(uint16_t code, const void* data, size_t size) {
        U16(code), U16(static_cast<uint16_t>(size));
        Raw(data, size);
    }
    std::string Finish() {
        uint32_t total = static_cast<uint32_t>(bytes.size() + 4);
        U32(total);
        for (int i = 0; i < 4; ++i) bytes[4 + i] = static_cast<uint8_t>(total >> (8 * i));
        return std::string(bytes.begin(), bytes.end());
    }

private:
    std::vector<uint8_t> bytes;
};

constexpr uint16_t OptionEnd = 0;
constexpr uint16_t OptionComment = 1;
constexpr uint16_t OptionFlags = 2;
constexpr uint32_t FlagInbound = 1;
constexpr uint32_t FlagOutbound = 2;

}  // namespace

std::string PcapFile(const std::vector<LinkEvent>& events) {
    Block section(0x0A0D0D0A);
    section.U32(0x1A2B3C4D);
    section.U16(1), section.U16(0);
    section.U32(0xFFFFFFFF), section.U32(0xFFFFFFFF);  // section length unknown
    std::string file = section.Finish();

    Block interface(1);
    interface.U16(PcapLinkType), interface.U16(0);
    interface.U32(0);  // no snapshot length limit
    file += interface.Finish();

    for (const LinkEvent& event : events) {
        if (!event.onLine) continue;
        Block packet(6);
        packet.U32(0);
        auto micro = static_cast<uint64_t>(std::llround(std::max(0.0, event.clockMs) * 1000.0));
        packet.U32(static_cast<uint32_t>(micro >> 32)), packet.U32(static_cast<uint32_t>(micro));
        packet.U32(static_cast<uint32_t>(event.bytes.size())), packet.U32(static_cast<uint32_t>(event.bytes.size()));
        packet.Raw(event.bytes.data(), event.bytes.size());
        std::string comment = Describe(event);
        packet.Option(OptionComment, comment.data(), comment.size());
        uint32_t flags = event.direction == Direction::Out ? FlagOutbound : FlagInbound;
        uint8_t flagBytes[4] = {static_cast<uint8_t>(flags), 0, 0, 0};
        packet.Option(OptionFlags, flagBytes, sizeof flagBytes);
        packet.U16(OptionEnd), packet.U16(0);
        file += packet.Finish();
    }
    return file;
}

}  // namespace trace
