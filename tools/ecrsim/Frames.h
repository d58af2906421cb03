#pragma once
// The register's view of the wire: control bytes, checksums, the frames it
// builds and the cutting of the driver's byte stream into frames.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace ecrsim {

using Bytes = std::vector<uint8_t>;

constexpr uint8_t STX = 0x02;
constexpr uint8_t ETX = 0x03;
constexpr uint8_t ACK = 0x06;
constexpr uint8_t CR = 0x0D;
constexpr uint8_t NAK = 0x15;
constexpr uint8_t SUB = 0x1A;

// Longest run of bytes taken as one frame of the driver before it is thrown away.
constexpr size_t MaxIncomingFrame = 256;

// Two's complement of the byte sum: the bytes plus the checksum sum to 0.
uint8_t Checksum(const uint8_t* data, size_t count);
uint8_t Checksum(const std::string& data);
// The checksum as two hexadecimal digits, high nibble first.
std::string ChecksumDigits(uint8_t sum, bool lowerCase = false);
// True when `hi` `lo` are exactly the uppercase digits of `sum`.
bool DigitsMatch(uint8_t sum, uint8_t hi, uint8_t lo);

// data, checksum digits, CR
Bytes DataFrame(const std::string& data);
// block checksum digits, SUB
Bytes EndFrame(uint8_t blockSum);

enum class TokenKind {
    Command,  // 02 code hh ll 03
    Data,     // data hh ll 0D
    End,      // hh ll 1A
    Control,  // a single 06 or 15
    Garbage,  // anything else, discarded
};

struct Token {
    TokenKind kind;
    Bytes bytes;
};

// Cuts the driver's byte stream into frames. Bytes that cannot start or
// continue a frame are handed out as garbage, so the stream resynchronises at
// the next plausible frame start.
class Tokenizer {
public:
    void Feed(const uint8_t* data, size_t count);
    // Inside a send transfer the driver sends nothing but data and end
    // frames, so every byte up to CR belongs to the frame, control bytes too.
    void SetDataMode(bool on) { dataMode = on; }
    // Takes the next complete token; false when more bytes are needed.
    bool Next(Token& token);
    bool HasPartial() const { return !buffer.empty(); }
    // The incomplete rest as a garbage token (for a line that went quiet or closed).
    Token TakePartial();

private:
    Token Cut(TokenKind kind, size_t length);
    // A whole command frame with good checksum digits starts at `at`.
    bool CommandAt(size_t at) const;
    Bytes buffer;
    bool dataMode = false;
};

}  // namespace ecrsim
