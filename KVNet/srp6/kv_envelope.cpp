#include "kv_envelope.h"

#include <cstring>
#include <openssl/evp.h>
#include <openssl/sha.h>

#include "kv_srp6_client.h"

namespace kvenv {
namespace {

uint32_t get_u32(const uint8_t* p)
{
    uint32_t v;
    memcpy(&v, p, 4);
    return v;
}

void put_u32(std::string& s, uint32_t v)
{
    s.append(reinterpret_cast<const char*>(&v), 4);
}

// The cipher fetched once: an implicit fetch on every message costs more than a
// heartbeat's whole encryption.
const EVP_CIPHER* aes_128_ofb()
{
    static const EVP_CIPHER* c = [] {
        const EVP_CIPHER* f = EVP_CIPHER_fetch(nullptr, "AES-128-OFB", nullptr);
        return f ? f : EVP_aes_128_ofb();
    }();
    return c;
}

bool ofb(const uint8_t key[16], const uint8_t iv[16], uint8_t* buf, size_t len)
{
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    if (!ctx)
        return false;
    bool ok = EVP_EncryptInit_ex(ctx, aes_128_ofb(), nullptr, key, iv) == 1;
    size_t off = 0;
    while (ok && off < len) {
        const int chunk = static_cast<int>(len - off > (1u << 30) ? (1u << 30) : len - off);
        int out = 0;
        ok = EVP_EncryptUpdate(ctx, buf + off, &out, buf + off, chunk) == 1 && out == chunk;
        off += static_cast<size_t>(chunk);
    }
    EVP_CIPHER_CTX_free(ctx);
    return ok;
}

// Digest of the check range as 40 upper-case hex digits and a NUL.
void digest_text(const uint8_t* body, size_t blockLen, const uint8_t* inner, size_t innerLen, char out[41])
{
    SHA_CTX c;
    SHA1_Init(&c);
    SHA1_Update(&c, body, 8);
    SHA1_Update(&c, body + kMinBlock, blockLen - kMinBlock);
    SHA1_Update(&c, inner, innerLen);
    uint8_t d[SHA_DIGEST_LENGTH];
    SHA1_Final(d, &c);
    hex_to_string(d, sizeof d, out, 41);
}

// A NUL-terminated hex text of len-1 digits at p (len counts the NUL).
bool take_text(const uint8_t* p, uint32_t len, size_t maxDigits, std::string* out)
{
    if (len < 2 || len - 1 > maxDigits || p[len - 1] != 0)
        return false;
    const char* t = reinterpret_cast<const char*>(p);
    if (!kv_is_hex(t, len - 1))
        return false;
    out->assign(t, len - 1);
    return true;
}

} // namespace

bool Seal(const uint8_t key[16], const uint8_t iv[16], uint8_t* buf, size_t len)
{
    if (len < kBlock + sizeof(MsgHeadWrap))
        return false;
    char text[41];
    digest_text(buf, kBlock, buf + kBlock, len - kBlock, text);
    memset(buf + kDigestOff, 0, kDigestField);
    memcpy(buf + kDigestOff, text, sizeof text);
    return ofb(key, iv, buf, len);
}

bool OpenBody(const uint8_t key[16], const uint8_t iv[16], uint8_t* body, size_t size, size_t* innerOff,
              size_t* innerLen)
{
    if (!body || size < kMinBlock + sizeof(MsgHeadWrap))
        return false;
    if (!ofb(key, iv, body, size))
        return false;
    const uint64_t L = get_u32(body);
    if (L < kMinBlock || L > size - sizeof(MsgHeadWrap))
        return false;
    MsgHeadWrap h;
    memcpy(&h, body + L, sizeof h);
    const uint64_t inner = sizeof h + static_cast<uint64_t>(h.ext_len()) + h.MsgSize;
    if (L + inner > size)
        return false;
    char text[41];
    digest_text(body, static_cast<size_t>(L), body + L, static_cast<size_t>(inner), text);
    const char* field = reinterpret_cast<const char*>(body + kDigestOff);
    const size_t flen = strnlen(field, kDigestField);
    if (flen != 40 || memcmp(field, text, 40) != 0)
        return false;
    *innerOff = static_cast<size_t>(L);
    *innerLen = static_cast<size_t>(inner);
    return true;
}

bool Open(const uint8_t key[16], const uint8_t iv[16], MsgBuf& msg)
{
    uint8_t* body = msg.body();
    size_t off = 0, len = 0;
    if (!OpenBody(key, iv, body, msg.head.MsgSize, &off, &len))
        return false;
    MsgHeadWrap inner;
    memcpy(&inner, body + off, sizeof inner);
    const size_t ext = inner.ext_len();
    const uint8_t* src = body + off + sizeof inner;
    const size_t size = inner.MsgSize;
    msg.head = inner;
    if (!msg.heap) {
        // Inline: the inner extension and body move to the start of the inline area.
        memmove(msg.inl, src, ext + size);
        return true;
    }
    // The extension goes inline; the body stays in the heap block, or moves inline when
    // it fits there now.
    uint8_t* heap = msg.heap;
    memcpy(msg.inl, src, ext); // the inline area is untouched by a heap body
    if (ext + size <= kvmsg::kInlineBody) {
        memcpy(msg.inl + ext, src + ext, size);
        msg.free_heap();
    } else {
        memmove(heap, src + ext, size);
    }
    return true;
}

bool ParseHelloReply(const uint8_t* body, size_t size, std::string* B, std::string* salt)
{
    // u32 total; u32 len(B)+1; B NUL; u32 len(s)+1; s NUL. Numbers below N: 256 digits.
    constexpr size_t kMaxDigits = 256;
    if (!body || size < 8)
        return false;
    const uint32_t lb = get_u32(body + 4);
    if (lb < 2 || lb > kMaxDigits + 1 || 12ull + lb > size)
        return false;
    if (!take_text(body + 8, lb, kMaxDigits, B))
        return false;
    const uint32_t ls = get_u32(body + 8 + lb);
    if (ls < 2 || ls > kMaxDigits + 1 || 12ull + lb + ls > size)
        return false;
    return take_text(body + 12 + lb, ls, kMaxDigits, salt);
}

bool ParseProofReply(const uint8_t* body, size_t size, std::string* M2)
{
    // M2 is a SHA-1: at most 40 digits, NUL-terminated within the body.
    if (!body || size < 10)
        return false;
    const char* t = reinterpret_cast<const char*>(body + 8);
    const size_t room = size - 8 < 41 ? size - 8 : 41;
    const size_t len = strnlen(t, room);
    if (len == 0 || len >= room)
        return false;
    M2->assign(t, len);
    return true;
}

std::string HelloBody(const std::string& A, const std::string& I)
{
    std::string b;
    put_u32(b, static_cast<uint32_t>(4 + 4 + A.size() + 1 + 4 + I.size() + 1));
    put_u32(b, static_cast<uint32_t>(A.size() + 1));
    b.append(A).push_back('\0');
    put_u32(b, static_cast<uint32_t>(I.size() + 1));
    b.append(I).push_back('\0');
    return b;
}

std::string ProofBody(const std::string& M1)
{
    std::string b;
    put_u32(b, static_cast<uint32_t>(M1.size() + 9));
    put_u32(b, static_cast<uint32_t>(M1.size() + 1));
    b.append(M1).push_back('\0');
    return b;
}

} // namespace kvenv
