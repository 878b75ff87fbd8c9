// The firmware upgrade's wire pieces, kept apart from the task so that each can be
// checked on its own: the firmware file's head and part table, the start requests of
// every upgrade type, data and closing heads, the device's answers and progress records,
// the code tables and the progress throttle.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "msg_types.h"

namespace kvupg {

constexpr size_t kFileHead = 276;        // head of a part file (types 3, 6)
constexpr size_t kPartEntry = 92;        // one row of the part table
constexpr size_t kNameField = 256;       // file name field of every start request
constexpr size_t kPiece = 4096;          // largest data piece
constexpr uint64_t kMaxFile = 0xFFFFFFFFull; // sizes travel as u32

constexpr uint16_t kMsgParts3 = 5139;
constexpr uint16_t kMsgParts6 = 729;
constexpr uint16_t kMsgMulti = 5140;
constexpr uint16_t kMsgPlain = 730;

constexpr uint16_t kSubData = 761;
constexpr uint16_t kSubCrc = 762;
constexpr uint16_t kSubEnd = 763;
constexpr uint16_t kSubFlash = 764;
constexpr uint16_t kSubFlashDone = 765;

// Codes handed to the upgrade callback.
enum Code : unsigned {
    kClosed = 390,
    kOK = 391,
    kReadFileFail = 392,
    kInvalidFile = 393,
    kPercent = 394,
    kVerError = 395,
    kUpgrading = 396,
    kVerSame = 397,
    kLanguageError = 398,
    kInUserInterface = 399,
    kIPCPercent = 402,
    kWriteFlash = 764,
};

// The code's name as the upgrade log writes it; "" for an unknown code.
const char* CodeName(unsigned code);
// Message type of an upgrade type (3, 6, 4/5, 7); 0 for any other.
uint16_t MsgTypeFor(uint32_t upgradeType);
bool IsPartType(uint32_t upgradeType);

// The start reply's AckFlag (types 3 to 6): 0 = go on, else the final code.
unsigned StartAckCode(uint16_t ack);
// The deciding AckFlag of a plain upgrade (type 7): the final code and its log text.
unsigned PlainAckCode(uint16_t ack, const char** logText);

struct Part {
    uint32_t offset;
    uint32_t length;
    uint32_t bit; // already taken modulo 32
};

enum class FileError {
    kNone,
    kUnknownType,
    kEmpty,
    kTooLarge,    // 4 GiB or more
    kShortHead,   // shorter than the 276-byte head
    kPartTable,   // the part table does not fit in the file
    kPartRange,   // a part reaches beyond the file
    kCheckValue,  // the u32 at offset 4 is not the file's CRC
};
const char* FileErrorText(FileError e);

// Check value of a part file: the CRC over bytes 0-3 and from byte 8 to the end.
uint32_t FileCheckValue(const uint8_t* data, size_t size);

// Everything that can be known about a firmware image before a connection is opened.
// Types 3 and 6 also get their part table (in file order).
FileError ValidateFirmware(uint32_t type, const uint8_t* data, uint64_t size, std::vector<Part>* parts);
// The same without the check value, from the file's first bytes only: `head` holds the
// first min(size, 276 + 92 x P) bytes of a file of `size` bytes (P its part count).
FileError ValidateFirmwareTable(uint32_t type, const uint8_t* head, uint64_t size, std::vector<Part>* parts);

// The file name of a path: what follows its last '/' or '\'.
const char* FileName(const char* path);

// Start request bodies.
std::vector<uint8_t> PartsStartBody(uint32_t sessionId, const uint8_t* file, size_t partCount,
                                    const char* name);
std::vector<uint8_t> MultiStartBody(uint32_t sessionId, uint32_t fileSize, uint32_t mask0,
                                    const uint32_t masks[8], const char* name);
std::vector<uint8_t> PlainStartBody(uint32_t sessionId, uint32_t fileSize, const char* name);

MsgHeadWrap StartHead(uint16_t msgType, uint8_t security, uint32_t bodyLen);
// A data message head: always plain, the pieces go raw.
MsgHeadWrap DataHead(uint16_t msgType, uint32_t len, uint32_t seq);
// 763 (no body) or 762 (u32 CRC body).
MsgHeadWrap CloseHead(uint16_t msgType, uint16_t subType, uint8_t security, uint32_t seq);

// The start reply of a part upgrade: wanted-parts mask and wanted byte count. False when
// the body is too short to hold them.
bool ParseWant(const uint8_t* body, uint32_t size, uint32_t* mask, uint32_t* want);

// One channel's progress record of a multi-channel upgrade (code 402).
struct ProgressRecord {
    const uint8_t* data; // the whole record as the device sent it
    uint32_t length;
    uint32_t channel;
    uint8_t state;       // non-zero: finished
    uint8_t progress;
};
constexpr uint32_t kRecordMin = 10;
// Splits one progress message into records of the first record's length. False for a
// malformed message: too short for a record, a length below the record minimum or
// beyond the body. A tail shorter than one record is ignored.
bool SplitProgress(const uint8_t* body, uint32_t size, std::vector<ProgressRecord>* out);

// The channels a multi-channel upgrade still waits for.
struct ChannelMask {
    uint32_t first = 0;
    uint32_t words[8] = {};
    // A finished channel clears its bit: 0-31 in the first word, above that bit
    // D mod 32 of array word D / 32. Channels beyond the array are ignored.
    void Finish(uint32_t channel);
    bool Empty() const;
};

// Progress of sending: a percentage of the base, reported at most once per change and
// at most once per interval.
class ProgressThrottle {
public:
    void Reset(uint64_t base, uint64_t nowMs, uint64_t intervalMs);
    void SetBase(uint64_t base) { base_ = base; }
    // Adds n bytes; true when a report is due, with its percentage in *pct.
    bool Add(uint64_t n, uint64_t nowMs, unsigned* pct);
    // The final 100 when it was not reported yet.
    bool Finish(unsigned* pct);
    uint64_t sent() const { return sent_; }
    unsigned last() const { return last_; }

private:
    uint64_t base_ = 0;
    uint64_t sent_ = 0;
    uint64_t lastMs_ = 0;
    uint64_t intervalMs_ = 300;
    unsigned last_ = 0;
};

} // namespace kvupg
