#include "Frames.h"

#include <algorithm>

namespace ecrsim {

uint8_t Checksum(const uint8_t* data, size_t count) {
    unsigned sum = 0;
    for (size_t i = 0; i < count; ++i) sum += data[i];
    return static_cast<uint8_t>(0x100 - (sum & 0xFF));
}

uint8_t Checksum(const std::string& data) {
    return Checksum(reinterpret_cast<const uint8_t*>(data.data()), data.size());
}

std::string ChecksumDigits(uint8_t sum, bool lowerCase) {
    const char* digits = lowerCase ? "0123456789abcdef" : "0123456789ABCDEF";
    return {digits[sum >> 4], digits[sum & 0x0F]};
}

bool DigitsMatch(uint8_t sum, uint8_t hi, uint8_t lo) {
    std::string expected = ChecksumDigits(sum);
    return hi == static_cast<uint8_t>(expected[0]) && lo == static_cast<uint8_t>(expected[1]);
}

Bytes DataFrame(const std::string& data) {
    Bytes frame(data.begin(), data.end());
    std::string digits = ChecksumDigits(Checksum(data));
    frame.push_back(static_cast<uint8_t>(digits[0]));
    frame.push_back(static_cast<uint8_t>(digits[1]));
    frame.push_back(CR);
    return frame;
}

Bytes EndFrame(uint8_t blockSum) {
    std::string digits = ChecksumDigits(blockSum);
    return {static_cast<uint8_t>(digits[0]), static_cast<uint8_t>(digits[1]), SUB};
}

void Tokenizer::Feed(const uint8_t* data, size_t count) { buffer.insert(buffer.end(), data, data + count); }

Token Tokenizer::Cut(TokenKind kind, size_t length) {
    Token token{kind, Bytes(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(length))};
    buffer.erase(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(length));
    return token;
}

Token Tokenizer::TakePartial() { return Cut(TokenKind::Garbage, buffer.size()); }

bool Tokenizer::CommandAt(size_t at) const {
    return at + 5 <= buffer.size() && buffer[at] == STX && buffer[at + 4] == ETX &&
           DigitsMatch(Checksum(&buffer[at], 2), buffer[at + 2], buffer[at + 3]);
}

bool Tokenizer::Next(Token& token) {
    if (buffer.empty()) return false;
    uint8_t first = buffer[0];
    if (!dataMode && (first == ACK || first == NAK)) {
        token = Cut(TokenKind::Control, 1);
        return true;
    }
    // In a send transfer a CR among the next bytes makes it a data frame.
    auto head = buffer.begin() + static_cast<std::ptrdiff_t>(std::min<size_t>(buffer.size(), 4));
    bool endsEarly = dataMode && std::find(buffer.begin() + 1, head, CR) != head;
    if (first == STX && !endsEarly) {
        if (buffer.size() < 5) return false;
        if (buffer[4] == ETX) {
            token = Cut(TokenKind::Command, 5);
            return true;
        }
        if (!dataMode) {
            // Not a command frame after all: drop bytes up to the next frame start.
            size_t next = 1;
            while (next < buffer.size() && buffer[next] != STX && buffer[next] != ACK) ++next;
            token = Cut(TokenKind::Garbage, next);
            return true;
        }
    }
    // Data or end-of-data frame: text up to CR or SUB. Outside a send
    // transfer control bytes inside mean the frame was broken off, so the
    // bytes before them are garbage.
    for (size_t i = 0; i < buffer.size(); ++i) {
        uint8_t byte = buffer[i];
        // In a send transfer only a whole new command frame breaks a frame off.
        bool breaksOff = dataMode ? CommandAt(i) : (byte == STX || byte == ACK || byte == NAK);
        if (i > 0 && breaksOff) {
            token = Cut(TokenKind::Garbage, i);
            return true;
        }
        if (byte == CR) {
            token = Cut(i >= 2 ? TokenKind::Data : TokenKind::Garbage, i + 1);
            return true;
        }
        if (byte == SUB && (i == 2 || !dataMode)) {
            token = Cut(i == 2 ? TokenKind::End : TokenKind::Garbage, i + 1);
            return true;
        }
        if (i + 1 >= MaxIncomingFrame) {
            token = Cut(TokenKind::Garbage, i + 1);
            return true;
        }
    }
    return false;
}

}  // namespace ecrsim
