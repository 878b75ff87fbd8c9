// Opening received envelopes. The first byte picks inline or heap placement (bit 0) and
// whether the rest is the encrypted body as received (bit 1 clear) or a plain body that
// is given a correct digest for its own block length and then encrypted (bit 1 set), so
// that the length and placement checks behind the digest are reached as well. Bodies
// above the 100 KiB inline area are always heap blocks, as the receive loop places them,
// so that an inner body too large for the inline area stays where it is.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <openssl/evp.h>
#include <openssl/sha.h>

#include "srp6/kv_envelope.h"

namespace {

const uint8_t kKey[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
const uint8_t kIv[16] = {16, 15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1};

void Ofb(uint8_t* p, size_t n)
{
    EVP_CIPHER_CTX* c = EVP_CIPHER_CTX_new();
    int out = 0;
    EVP_EncryptInit_ex(c, EVP_aes_128_ofb(), nullptr, kKey, kIv);
    EVP_EncryptUpdate(c, p, &out, p, static_cast<int>(n));
    EVP_CIPHER_CTX_free(c);
}

// Writes the digest of the check range the plain body announces, as far as it lies
// within the body; the opener must still refuse whatever does not fit.
void SignPlain(uint8_t* p, size_t n)
{
    if (n < kvenv::kMinBlock + sizeof(MsgHeadWrap))
        return;
    uint32_t L;
    memcpy(&L, p, 4);
    if (L < kvenv::kMinBlock || L > n - sizeof(MsgHeadWrap))
        return;
    MsgHeadWrap h;
    memcpy(&h, p + L, sizeof h);
    uint64_t inner = sizeof h + static_cast<uint64_t>(h.ext_len()) + h.MsgSize;
    if (L + inner > n)
        inner = n - L;
    SHA_CTX c;
    SHA1_Init(&c);
    SHA1_Update(&c, p, 8);
    SHA1_Update(&c, p + kvenv::kMinBlock, L - kvenv::kMinBlock);
    SHA1_Update(&c, p + L, static_cast<size_t>(inner));
    uint8_t d[20];
    SHA1_Final(d, &c);
    static const char* hex = "0123456789ABCDEF";
    for (int i = 0; i < 20; ++i) {
        p[8 + 2 * i] = static_cast<uint8_t>(hex[d[i] >> 4]);
        p[9 + 2 * i] = static_cast<uint8_t>(hex[d[i] & 15]);
    }
    p[48] = 0;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static MsgBuf* msg = new MsgBuf;
    if (size < 1 || size > 4 * kvmsg::kInlineBody)
        return 0;
    const bool heap = (data[0] & 1) || size - 1 > kvmsg::kInlineBody;
    const bool plain = data[0] & 2;
    ++data;
    --size;
    msg->clear();
    msg->head.MsgType = kvmsg::kTypeEnvelope;
    msg->head.MsgSize = static_cast<uint32_t>(size);
    if (heap) {
        msg->heap = static_cast<uint8_t*>(calloc(size ? size : 1, 1));
        msg->heapSize = static_cast<uint32_t>(size);
    }
    uint8_t* body = msg->body();
    if (size)
        memcpy(body, data, size);
    if (plain) {
        SignPlain(body, size);
        Ofb(body, size);
    }
    if (kvenv::Open(kKey, kIv, *msg)) {
        // The inner message must lie within what the buffer holds.
        volatile uint8_t sink = 0;
        const uint8_t* b = msg->body();
        for (uint32_t i = 0; i < msg->head.MsgSize; ++i)
            sink ^= b[i];
        (void)sink;
    }
    msg->free_heap();
    return 0;
}
