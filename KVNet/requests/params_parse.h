// Parameter replies turned into structures and list items of the caller's size, the item
// deliveries of record lists, and the set-request body. Every field is checked against
// the received bytes before it is read; the parsers may rewrite StructSize fields of the
// reply in place (they hand items on without copying where the size allows).
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

namespace kvparam {

using ItemFn = void (*)(void* item, void* user);

// Bounded little-endian reader over received bytes.
class Reader {
public:
    Reader(const uint8_t* p, size_t n) : p_(p), n_(n) {}
    bool U32At(size_t off, uint32_t* v) const;
    bool Fits(size_t off, size_t len) const { return off <= n_ && len <= n_ - off; }
    size_t size() const { return n_; }

private:
    const uint8_t* p_;
    size_t n_;
};

constexpr uint32_t kTypeNtp = 524;   // keeps the device's StructSize when it sent less

// Parameter reply: u32 total (= n - 4), the structure, optionally u32 list bytes and
// entries {u32 stride, element}. The structure goes to dest (S bytes) or to structFn,
// each element at E bytes to elemFn. False on any field that does not fit; items handed
// on before the fault stay handed on.
bool ParseParamReply(uint8_t* p, uint32_t n, void* dest, uint32_t S, ItemFn structFn,
                     uint32_t E, ItemFn elemFn, void* user, uint32_t paramType);

// Temporary-parameter reply: without dest a run of equal items each starting with its
// StructSize; with dest a u32 total, the structure and extra bytes that go to dest + S + 4
// up to the u32 capacity the caller stored at dest + S. Copies never exceed S (and the
// capacity); an empty reply is a success with nothing delivered.
bool ParseTemporaryParamReply(uint8_t* p, uint32_t n, void* dest, uint32_t S, ItemFn structFn,
                              uint32_t E, ItemFn elemFn, void* user);

// Record list delivery: items of the device's size D (the first StructSize) handed on at N
// bytes with StructSize N, then a null call that ends the list. N: 28, 48 or 12.
void DeliverItems(uint8_t* p, uint32_t n, uint32_t N, ItemFn fn, void* user);
// Number of whole items of the device's size in n bytes (0 when it is below 4).
uint32_t CountItems(const uint8_t* p, uint32_t n);

// The element bytes of a parameter reply (each element's first StructSize bytes)
// concatenated; empty when there is no valid list. Never longer than n.
std::vector<uint8_t> ConcatListElements(const uint8_t* p, uint32_t n);

// Set-request body: with a list {u32 total, structure, u32 list bytes, per element
// {u32 size, element}}; without {u32 structure size, structure}. A null structure counts as
// the 4-byte empty structure; neither structure nor list gives an empty body. The element
// size is the first element's StructSize. False on sizes below 4 or beyond the limit.
bool MakeReqData(const void* structure, const void* list, uint32_t count, std::vector<uint8_t>* out);

// Query body: the blob's own leading u32 L, then its L bytes; empty without a blob.
// False when L exceeds the message limit.
bool LengthPrefixed(const void* blob, std::vector<uint8_t>* out);

// Adapters of the Ex queries: copy into the caller's buffers.
struct ExAdapter {
    void* structBuf;
    uint32_t structSize;
    void* listBuf;
    uint32_t elemSize;
    uint32_t capacity;
    uint32_t count;
};
void ParamCallbackEx(void* structure, void* adapter);
void ListParamCallbackEx(void* element, void* adapter);

} // namespace kvparam
