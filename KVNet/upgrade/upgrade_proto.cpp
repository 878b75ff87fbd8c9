#include "upgrade_proto.h"

#include <cstring>

#include "crc32.h"

namespace kvupg {
namespace {

uint32_t get_u32(const uint8_t* p)
{
    uint32_t v;
    memcpy(&v, p, 4);
    return v;
}

void put_u32(uint8_t* p, uint32_t v)
{
    memcpy(p, &v, 4);
}

// Copies the name into its 256-byte field: NUL-padded, unterminated when it fills it.
void put_name(uint8_t* field, const char* name)
{
    const size_t n = name ? strnlen(name, kNameField) : 0;
    if (n)
        memcpy(field, name, n);
}

} // namespace

const char* CodeName(unsigned code)
{
    switch (code) {
    case kClosed: return "KVNetMsgRemoteUpgradeClosed";
    case kOK: return "KVNetMsgRemoteUpgradeOK";
    case kReadFileFail: return "KVNetMsgRemoteUpgradeReadFileFail";
    case kInvalidFile: return "KVNetMsgRemoteUpgradeInvalidFile";
    case kPercent: return "KVNetMsgRemoteUpgradePercent";
    case kVerError: return "KVNetMsgRemoteUpgradeVerError";
    case kUpgrading: return "KVNetMsgRemoteUpgrading";
    case kVerSame: return "KVNetMsgRemoteUpgradeVerSame";
    case kLanguageError: return "KVNetMsgRemoteUpgradeLanguageError";
    case kInUserInterface: return "KVNetMsgRemoteInUserInterface";
    case kIPCPercent: return "KVNetMsgRemoteUpgradeIPCPercent";
    case kWriteFlash: return "MsgRemoteUpgradeWriteFlashInProgress";
    default: return "";
    }
}

uint16_t MsgTypeFor(uint32_t type)
{
    switch (type) {
    case 3: return kMsgParts3;
    case 6: return kMsgParts6;
    case 4:
    case 5: return kMsgMulti;
    case 7: return kMsgPlain;
    default: return 0;
    }
}

bool IsPartType(uint32_t type)
{
    return type == 3 || type == 6;
}

unsigned StartAckCode(uint16_t ack)
{
    switch (ack) {
    case 0: return 0;
    case 60: return kUpgrading;
    case 61: return kVerError;
    case 63: return kVerSame;
    case 64: return kLanguageError;
    case 67: return kInUserInterface;
    default: return kClosed;
    }
}

unsigned PlainAckCode(uint16_t ack, const char** text)
{
    const char* t;
    unsigned code;
    switch (ack) {
    case 0: t = "Upgrade success\n"; code = kOK; break;
    case 1: t = "Upgrade fail\n"; code = kClosed; break;
    case 2: t = "Upgrade file name error\n"; code = kInvalidFile; break;
    case 60: t = "Upgrading\n"; code = kUpgrading; break;
    case 67: t = "Upgrade In User Interface\n"; code = kInUserInterface; break;
    default: t = "Upgrade file unknown error, ack:%d\n"; code = kClosed; break;
    }
    if (text)
        *text = t;
    return code;
}

const char* FileErrorText(FileError e)
{
    switch (e) {
    case FileError::kNone: return "ok";
    case FileError::kUnknownType: return "unknown upgrade type";
    case FileError::kEmpty: return "empty file";
    case FileError::kTooLarge: return "file of 4 GiB or more";
    case FileError::kShortHead: return "file shorter than its head";
    case FileError::kPartTable: return "part table beyond the file";
    case FileError::kPartRange: return "part beyond the file";
    case FileError::kCheckValue: return "check value mismatch";
    }
    return "?";
}

uint32_t FileCheckValue(const uint8_t* data, size_t size)
{
    if (size <= 4)
        return kv_crc32_update(0, data, size);
    uint32_t crc = kv_crc32_update(0, data, 4);
    return size > 8 ? kv_crc32_update(crc, data + 8, size - 8) : crc;
}

FileError ValidateFirmware(uint32_t type, const uint8_t* data, uint64_t size, std::vector<Part>* parts)
{
    std::vector<Part> table;
    const FileError e = ValidateFirmwareTable(type, data, size, &table);
    if (parts)
        parts->clear();
    if (e != FileError::kNone)
        return e;
    if (IsPartType(type) && FileCheckValue(data, static_cast<size_t>(size)) != get_u32(data + 4))
        return FileError::kCheckValue;
    if (parts)
        parts->swap(table);
    return FileError::kNone;
}

FileError ValidateFirmwareTable(uint32_t type, const uint8_t* data, uint64_t size, std::vector<Part>* parts)
{
    if (parts)
        parts->clear();
    if (MsgTypeFor(type) == 0)
        return FileError::kUnknownType;
    if (size == 0)
        return FileError::kEmpty;
    if (size > kMaxFile)
        return FileError::kTooLarge;
    if (!IsPartType(type))
        return FileError::kNone;
    if (size < kFileHead)
        return FileError::kShortHead;
    const uint64_t count = get_u32(data + 12);
    // 64-bit: 92 x P cannot wrap for any u32 P.
    if (kFileHead + kPartEntry * count > size)
        return FileError::kPartTable;
    std::vector<Part> table;
    table.reserve(static_cast<size_t>(count));
    for (uint64_t i = 0; i < count; ++i) {
        const uint8_t* row = data + kFileHead + kPartEntry * i;
        Part p{get_u32(row + 8), get_u32(row + 12), get_u32(row + 16) % 32};
        if (static_cast<uint64_t>(p.offset) + p.length > size)
            return FileError::kPartRange;
        table.push_back(p);
    }
    if (parts)
        parts->swap(table);
    return FileError::kNone;
}

const char* FileName(const char* path)
{
    if (!path)
        return "";
    const char* name = path;
    for (const char* p = path; *p; ++p)
        if (*p == '/' || *p == '\\')
            name = p + 1;
    return name;
}

std::vector<uint8_t> PartsStartBody(uint32_t sessionId, const uint8_t* file, size_t partCount,
                                    const char* name)
{
    const size_t table = kPartEntry * partCount;
    std::vector<uint8_t> b(4 + kFileHead + table + kNameField, 0);
    put_u32(b.data(), sessionId);
    memcpy(b.data() + 4, file, kFileHead + table);
    put_name(b.data() + 4 + kFileHead + table, name);
    return b;
}

std::vector<uint8_t> MultiStartBody(uint32_t sessionId, uint32_t fileSize, uint32_t mask0,
                                    const uint32_t masks[8], const char* name)
{
    std::vector<uint8_t> b(304, 0);
    put_u32(b.data(), sessionId);
    put_u32(b.data() + 4, fileSize);
    put_u32(b.data() + 8, mask0);
    put_name(b.data() + 16, name);
    for (int i = 0; i < 8; ++i)
        put_u32(b.data() + 272 + 4 * i, masks ? masks[i] : 0);
    return b;
}

std::vector<uint8_t> PlainStartBody(uint32_t sessionId, uint32_t fileSize, const char* name)
{
    std::vector<uint8_t> b(328, 0);
    put_u32(b.data(), 328);
    put_u32(b.data() + 4, sessionId);
    put_name(b.data() + 40, name);
    put_u32(b.data() + 296, fileSize);
    return b;
}

MsgHeadWrap StartHead(uint16_t msgType, uint8_t security, uint32_t bodyLen)
{
    MsgHeadWrap h;
    h.flags = security & 0x03;
    h.MsgType = msgType;
    h.MsgSize = bodyLen;
    return h;
}

MsgHeadWrap DataHead(uint16_t msgType, uint32_t len, uint32_t seq)
{
    MsgHeadWrap h;
    h.MsgType = msgType;
    h.MsgSubType = kSubData;
    h.MsgSize = len;
    h.Seq = seq;
    return h;
}

MsgHeadWrap CloseHead(uint16_t msgType, uint16_t subType, uint8_t security, uint32_t seq)
{
    MsgHeadWrap h;
    h.flags = security & 0x03;
    h.MsgType = msgType;
    h.MsgSubType = subType;
    h.MsgSize = subType == kSubCrc ? 4 : 0;
    h.Seq = seq;
    return h;
}

bool ParseWant(const uint8_t* body, uint32_t size, uint32_t* mask, uint32_t* want)
{
    if (!body || size < 8)
        return false;
    *mask = get_u32(body);
    *want = get_u32(body + 4);
    return true;
}

bool SplitProgress(const uint8_t* body, uint32_t size, std::vector<ProgressRecord>* out)
{
    out->clear();
    if (!body || size < kRecordMin)
        return false;
    const uint32_t len = get_u32(body);
    if (len < kRecordMin || len > size)
        return false;
    for (uint64_t off = 0; off + len <= size; off += len) {
        const uint8_t* r = body + off;
        out->push_back(ProgressRecord{r, len, get_u32(r + 4), r[8], r[9]});
    }
    return true;
}

void ChannelMask::Finish(uint32_t channel)
{
    if (channel <= 31) {
        first &= ~(1u << channel);
        return;
    }
    const uint32_t word = channel / 32;
    if (word < 8)
        words[word] &= ~(1u << (channel % 32));
}

bool ChannelMask::Empty() const
{
    if (first)
        return false;
    for (uint32_t w : words)
        if (w)
            return false;
    return true;
}

void ProgressThrottle::Reset(uint64_t base, uint64_t nowMs, uint64_t intervalMs)
{
    base_ = base;
    sent_ = 0;
    lastMs_ = nowMs;
    intervalMs_ = intervalMs;
    last_ = 0;
}

bool ProgressThrottle::Add(uint64_t n, uint64_t nowMs, unsigned* pct)
{
    sent_ += n;
    if (base_ == 0)
        return false;
    // A device may want fewer bytes than its parts hold: never beyond 100.
    const uint64_t p = sent_ >= base_ ? 100 : sent_ * 100 / base_;
    if (p == last_ || nowMs - lastMs_ <= intervalMs_)
        return false;
    last_ = static_cast<unsigned>(p);
    lastMs_ = nowMs;
    *pct = last_;
    return true;
}

bool ProgressThrottle::Finish(unsigned* pct)
{
    if (last_ == 100)
        return false;
    last_ = 100;
    *pct = 100;
    return true;
}

} // namespace kvupg
