#pragma once
// The link to the ECR: frames, checksums, acknowledgements and retries; link
// settings, the status request, phase time-outs and the I/O statistics.
#include <cstddef>
#include <cstdint>

inline constexpr uint8_t STX = 0x02;
inline constexpr uint8_t ETX = 0x03;
inline constexpr uint8_t CR = 0x0D;
inline constexpr uint8_t SUB = 0x1A;
inline constexpr uint8_t ACK = 0x06;
inline constexpr uint8_t NAK = 0x15;

inline constexpr uint16_t VariableFrameLength = 0xFFFF;
inline constexpr uint16_t MaxDataFrameLength = 122;
inline constexpr size_t FrameBufferSize = 256;
// The most a variable frame may bring after its first three bytes.
inline constexpr size_t VariableRestLength = 125;

inline constexpr char DirectSettingsString[] = "baud=19200 parity=n data=8 stop=2 rts=hs dtr=hs octs=on";
inline constexpr char ModemSettingsString[] = "baud=19200 parity=n data=8 stop=1 rts=hs dtr=on octs=on odsr=on";

struct LinkStatistics {
    int32_t outFrames = 0;
    int32_t inFrames = 0;
    int32_t nakCount = 0;
    int32_t lostCount = 0;
    int32_t garbageCount = 0;
};

uint8_t ComputeChecksum(const uint8_t* bytes, size_t length);
bool VerifyChecksum(const uint8_t* frame, size_t length);

class EcrComm {
public:
    int32_t ecrLevel = 0;
    int32_t ecrLanguage = 0;
    int32_t ecrNameLength = 0;
    LinkStatistics stats;
    uint8_t frameBuffer[FrameBufferSize] = {};
    int32_t commMaxTime = 0;
    int32_t nakSleepTime = 0;
    int32_t garbageSleepTime = 0;
    int32_t sleepBetweenCommands = 0;
    int32_t retryCount = 0;
    bool useModem = false;
    uint8_t blockChecksum = 0;
    // The frames received since the last command frame: the block checksum
    // they add up to, and whether their end-of-data frame carried the same
    // digits (`readEndDigits`). A register that sent a frame twice, or a
    // frame that went missing, shows up as a mismatch here.
    uint8_t readBlockChecksum = 0;
    bool readBlockMatched = false;
    uint8_t readEndDigits[2] = {};
    // Data bytes of the last frame ReadFrame returned; a NUL byte among them
    // is data too, which the terminated copy alone cannot show.
    size_t lastDataLength = 0;

    // Link life.
    void Open();
    void Init();
    void ReadSettings();
    void ReadStatus();
    void SetOperationTimeout(int32_t ms);
    void Close();
    void LogStatistics(int destinations) const;
    int ErrorCount() const;

    // Frames.
    void SendCommand(uint8_t commandCode);
    void SendDataFrame(const void* data, uint16_t length);
    void SendEndFrame();
    bool ReadFrame(char* destination, uint16_t largestLength, uint16_t expectedLength);
    void SendFrame(const uint8_t* bytes, size_t length);
    // Adds a good received frame to the read block checksum, or compares
    // the sum with the digits of the end-of-data frame.
    void TallyReadBlock(size_t frameLength, bool endFrame);

    // Counted port operations.
    bool WriteBytes(const uint8_t* bytes, size_t count);
    bool ReadBytes(uint8_t* buffer, size_t count);
    size_t ReadUpTo(uint8_t* buffer, size_t limit = VariableRestLength);

private:
    // After the first three bytes "00" of a variable frame: one more byte
    // within the byte interval, or none, which makes it an empty data frame.
    bool NextByteFollows(uint8_t* buffer);
};

EcrComm& TheEcrComm();
