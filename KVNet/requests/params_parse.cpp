#include "params_parse.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "kv_log.h"
#include "msg_types.h"

namespace kvparam {

bool Reader::U32At(size_t off, uint32_t* v) const
{
    if (!Fits(off, 4))
        return false;
    std::memcpy(v, p_ + off, 4);
    return true;
}

namespace {

inline void PutU32(void* at, uint32_t v) { std::memcpy(at, &v, 4); }

// An item of `have` bytes (have >= 4) brought to `want` bytes: in place when it is at
// least that long, else zero-extended into scratch. The size field becomes `want`, or keeps
// the device's value when keepShort is set and the item was short.
uint8_t* FitItem(uint8_t* item, uint32_t have, uint32_t want, std::vector<uint8_t>& scratch,
                 bool keepShort)
{
    if (have >= want) {
        PutU32(item, want);
        return item;
    }
    scratch.assign(want, 0);
    std::memcpy(scratch.data(), item, have);
    PutU32(scratch.data(), keepShort ? have : want);
    return scratch.data();
}

// Caller sizes come from the caller, not the wire, but a buffer of them is still allocated.
bool CallerSizeOk(uint32_t size) { return size >= 4 && size <= kvmsg::kMaxBody; }

} // namespace

bool ParseParamReply(uint8_t* p, uint32_t n, void* dest, uint32_t S, ItemFn structFn,
                     uint32_t E, ItemFn elemFn, void* user, uint32_t paramType)
{
    if (!p || n <= 4)
        return false;
    Reader r(p, n);
    uint32_t total = 0;
    if (!r.U32At(0, &total) || total == 0 || total != n - 4)
        return false;

    const size_t sOff = 4;
    uint32_t sSize = 0;
    if (!r.U32At(sOff, &sSize) || sSize < 4 || !r.Fits(sOff, sSize))
        return false;
    KV_LOG(gEnableFrameData, "---get paramters paramSize=%d listParamSize=%d\n", (int)sSize, (int)E);

    std::vector<uint8_t> scratch;
    if (dest || structFn) {
        if (!CallerSizeOk(S))
            return false;
        const bool keepShort = paramType == kTypeNtp;
        uint8_t* s = p + sOff;
        if (dest) {
            // Straight into the caller's buffer: no scratch needed for a short structure.
            uint8_t* d = static_cast<uint8_t*>(dest);
            if (sSize < S) {
                std::memset(d, 0, S);
                std::memcpy(d, s, sSize);
                PutU32(d, keepShort ? sSize : S);
            } else {
                PutU32(s, S);
                std::memcpy(d, s, S);
            }
        } else {
            structFn(FitItem(s, sSize, S, scratch, keepShort), user);
        }
    }

    const size_t pos = sOff + sSize;
    if (!elemFn || pos >= n)
        return true;
    if (!CallerSizeOk(E))
        return false;
    uint32_t listBytes = 0;
    if (!r.U32At(pos, &listBytes) || !r.Fits(pos + 4, listBytes))
        return false;
    const size_t listEnd = pos + 4 + listBytes;
    KV_LOG(gEnableFrameData, "---get paramters pos=%d posEnd=%d\n", (int)(pos + 4), (int)listEnd);
    const bool keepShort = paramType == kTypeNtp;
    size_t entry = pos + 4;
    int count = 0;
    while (entry < listEnd) {
        const size_t elem = entry + 4;
        uint32_t stride = 0, eSize = 0;
        if (elem >= listEnd || !r.U32At(entry, &stride) || elem + 4 > listEnd ||
            !r.U32At(elem, &eSize))
            return false;
        if (eSize < 4 || eSize > listEnd - elem || eSize > stride)
            return false;
        elemFn(FitItem(p + elem, eSize, E, scratch, keepShort), user);
        ++count;
        entry = elem + stride; // stride >= eSize >= 4: always moves on
    }
    KV_LOG(gEnableFrameData, "---get paramters count=%d rspListElementSize=%d rspListParamSize=%d\n",
           count, (int)E, (int)listBytes);
    KV_LOG(gEnableFrameData, "---get paramters true\n");
    return true;
}

bool ParseTemporaryParamReply(uint8_t* p, uint32_t n, void* dest, uint32_t S, ItemFn structFn,
                              uint32_t E, ItemFn elemFn, void* user)
{
    if (!p || n == 0)
        return true;
    Reader r(p, n);
    uint32_t first = 0;
    if (!r.U32At(0, &first) || first == 0)
        return false;
    size_t start = 0;
    if (!dest) {
        if (n % first != 0)
            return false;
    } else {
        if (first > S)
            return false;
        start = 4;
    }
    if (start >= n)
        return false;

    if (dest || structFn) {
        if (!CallerSizeOk(S))
            return false;
        uint32_t sSize = 0;
        if (!r.U32At(start, &sSize) || sSize < 4 || !r.Fits(start, sSize))
            return false;
        // Copied, not fitted in place: the element walk below reads the same sizes.
        std::vector<uint8_t> item(S, 0);
        std::memcpy(item.data(), p + start, std::min(sSize, S));
        PutU32(item.data(), S);
        if (dest) {
            uint8_t* d = static_cast<uint8_t*>(dest);
            uint32_t extra = 0;
            if (first + 4u != n) {
                uint32_t cap = 0;
                std::memcpy(&cap, d + S, 4); // the caller's capacity field after S bytes
                extra = std::min<uint32_t>(n - 4 - sSize, cap);
            }
            std::memcpy(d, item.data(), S);
            if (extra)
                std::memcpy(d + S + 4, p + 4 + sSize, extra);
        } else {
            structFn(item.data(), user);
        }
    }

    if (elemFn) {
        if (!CallerSizeOk(E))
            return false;
        std::vector<uint8_t> scratch;
        size_t pos = start;
        int count = 0;
        while (pos < n) {
            uint32_t len = 0;
            if (!r.U32At(pos, &len) || len < 4 || !r.Fits(pos, len))
                return false;
            elemFn(FitItem(p + pos, len, E, scratch, false), user);
            pos += len;
            ++count;
        }
        KV_LOG(gEnableFrameData, "---get paramters count=%d  rspListParamSize=%d\n", count, (int)n);
    }
    KV_LOG(gEnableFrameData, "---get paramters true\n");
    return true;
}

uint32_t CountItems(const uint8_t* p, uint32_t n)
{
    uint32_t d = 0;
    if (!p || n < 4)
        return 0;
    std::memcpy(&d, p, 4);
    return d < 4 ? 0 : n / d;
}

void DeliverItems(uint8_t* p, uint32_t n, uint32_t N, ItemFn fn, void* user)
{
    const bool call = fn && user;
    const uint32_t count = CountItems(p, n);
    if (count) {
        uint32_t d = 0;
        std::memcpy(&d, p, 4);
        std::vector<uint8_t> scratch;
        for (uint32_t i = 0; i < count; ++i) {
            uint8_t* item = FitItem(p + static_cast<size_t>(i) * d, d, N, scratch, false);
            if (call)
                fn(item, user);
        }
    }
    if (call)
        fn(nullptr, user);
}

std::vector<uint8_t> ConcatListElements(const uint8_t* p, uint32_t n)
{
    std::vector<uint8_t> out;
    Reader r(p, p ? n : 0);
    uint32_t sSize = 0, listBytes = 0;
    if (!r.U32At(4, &sSize) || sSize < 4 || !r.Fits(4, sSize))
        return out;
    const size_t pos = 4 + static_cast<size_t>(sSize);
    if (!r.U32At(pos, &listBytes) || !r.Fits(pos + 4, listBytes))
        return out;
    const size_t listEnd = pos + 4 + listBytes;
    size_t entry = pos + 4;
    while (entry < listEnd) {
        const size_t elem = entry + 4;
        uint32_t stride = 0, eSize = 0;
        if (elem + 4 > listEnd || !r.U32At(entry, &stride) || !r.U32At(elem, &eSize))
            break;
        if (eSize < 4 || eSize > stride || eSize > listEnd - elem)
            break;
        out.insert(out.end(), p + elem, p + elem + eSize);
        entry = elem + stride;
    }
    return out;
}

bool MakeReqData(const void* structure, const void* list, uint32_t count, std::vector<uint8_t>* out)
{
    static const uint32_t cEmptyStruct = 4;
    out->clear();
    const bool hasList = list && count;
    if (!structure && !hasList)
        return true;
    const uint8_t* s = structure ? static_cast<const uint8_t*>(structure)
                                 : reinterpret_cast<const uint8_t*>(&cEmptyStruct);
    uint32_t sSize = 0;
    std::memcpy(&sSize, s, 4);
    if (sSize < 4)
        return false;
    if (!hasList) {
        if (sSize > kvmsg::kMaxBody - 4)
            return false;
        out->resize(4 + static_cast<size_t>(sSize));
        PutU32(out->data(), sSize);
        std::memcpy(out->data() + 4, s, sSize);
        return true;
    }
    const uint8_t* l = static_cast<const uint8_t*>(list);
    uint32_t eSize = 0;
    std::memcpy(&eSize, l, 4);
    if (eSize < 4)
        return false;
    const uint64_t listBytes = static_cast<uint64_t>(count) * (eSize + 4ull);
    const uint64_t total = sSize + 4ull + listBytes;
    if (4 + total > kvmsg::kMaxBody)
        return false;
    out->resize(static_cast<size_t>(4 + total));
    uint8_t* o = out->data();
    PutU32(o, static_cast<uint32_t>(total));
    std::memcpy(o + 4, s, sSize);
    o += 4 + sSize;
    PutU32(o, static_cast<uint32_t>(listBytes));
    o += 4;
    for (uint32_t i = 0; i < count; ++i) {
        PutU32(o, eSize);
        std::memcpy(o + 4, l + static_cast<size_t>(i) * eSize, eSize);
        o += 4 + eSize;
    }
    return true;
}

bool LengthPrefixed(const void* blob, std::vector<uint8_t>* out)
{
    out->clear();
    if (!blob)
        return true;
    uint32_t len = 0;
    std::memcpy(&len, blob, 4);
    if (len > kvmsg::kMaxBody - 4)
        return false;
    out->resize(4 + static_cast<size_t>(len));
    PutU32(out->data(), len);
    std::memcpy(out->data() + 4, blob, len);
    return true;
}

void ParamCallbackEx(void* structure, void* adapter)
{
    auto* a = static_cast<ExAdapter*>(adapter);
    if (a && structure && a->structBuf && a->structSize)
        std::memcpy(a->structBuf, structure, a->structSize);
}

void ListParamCallbackEx(void* element, void* adapter)
{
    auto* a = static_cast<ExAdapter*>(adapter);
    if (!a || !element || !a->listBuf || a->count >= a->capacity)
        return;
    std::memcpy(static_cast<uint8_t*>(a->listBuf) + static_cast<size_t>(a->count) * a->elemSize,
                element, a->elemSize);
    ++a->count;
}

} // namespace kvparam
