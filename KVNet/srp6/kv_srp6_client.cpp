#include "kv_srp6_client.h"

#include <cstring>
#include <memory>
#include <openssl/crypto.h>
#include <openssl/rand.h>
#include <openssl/srp.h>

namespace {

struct BnFree {
    void operator()(BIGNUM* b) const { BN_clear_free(b); }
};
using Bn = std::unique_ptr<BIGNUM, BnFree>;

// n bytes, big-endian, left-padded with zeros; false when b needs more.
bool pad_bn(const BIGNUM* b, uint8_t* out, int n)
{
    return BN_bn2binpad(b, out, n) == n;
}

// A hex text of a limited length as a number; none for anything but hex digits.
BIGNUM* parse_hex(string_piece t)
{
    if (!t.data || t.len == 0 || t.len > 4096 || !kv_is_hex(t.data, t.len))
        return nullptr;
    std::string s(t.data, t.len);
    BIGNUM* b = nullptr;
    if (BN_hex2bn(&b, s.c_str()) != static_cast<int>(t.len)) {
        BN_clear_free(b);
        return nullptr;
    }
    return b;
}

BIGNUM* sha1_bn(const uint8_t* data, size_t len)
{
    uint8_t d[SHA_DIGEST_LENGTH];
    SHA1(data, len, d);
    return BN_bin2bn(d, sizeof d, nullptr);
}

} // namespace

bool kv_is_hex(const char* t, size_t len)
{
    if (!t || len == 0)
        return false;
    for (size_t i = 0; i < len; ++i) {
        char c = t[i];
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F')))
            return false;
    }
    return true;
}

bool hex_to_string(const uint8_t* bytes, size_t len, char* out, size_t room)
{
    static const char digits[] = "0123456789ABCDEF";
    if (!bytes || len == 0 || !out || room == 0 || 2 * len >= room)
        return false;
    for (size_t i = 0; i < len; ++i) {
        out[2 * i] = digits[bytes[i] >> 4];
        out[2 * i + 1] = digits[bytes[i] & 15];
    }
    out[2 * len] = '\0';
    return true;
}

static int hex_val(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

size_t string_to_hex(const char* text, size_t len, uint8_t* out, size_t room)
{
    if (!text || !out || len == 0 || (len & 1) || len > 2 * room)
        return 0;
    for (size_t i = 0; i < len / 2; ++i) {
        int hi = hex_val(text[2 * i]), lo = hex_val(text[2 * i + 1]);
        out[i] = static_cast<uint8_t>(((hi < 0 ? 0 : hi) << 4) | (lo < 0 ? 0 : lo));
    }
    return len / 2;
}

void KVSha256::init()
{
    SHA256_Init(&ctx_);
}

void KVSha256::update(const void* data, size_t len)
{
    SHA256_Update(&ctx_, data, len);
}

void KVSha256::final(uint8_t digest[32])
{
    SHA256_Final(digest, &ctx_);
}

std::string sha256(const std::string& text)
{
    KVSha256 h;
    h.update(text.data(), text.size());
    uint8_t d[32];
    h.final(d);
    static const char digits[] = "0123456789abcdef";
    std::string out(64, '0');
    for (int i = 0; i < 32; ++i) {
        out[2 * i] = digits[d[i] >> 4];
        out[2 * i + 1] = digits[d[i] & 15];
    }
    return out;
}

kv_srp6_client::kv_srp6_client()
{
    memset(key_, 0, sizeof key_);
    memset(iv_, 0, sizeof iv_);
}

kv_srp6_client::~kv_srp6_client()
{
    free_exchange();
    BN_clear_free(a_);
    BN_clear_free(A_);
    OPENSSL_free(Atext_);
    OPENSSL_cleanse(key_, sizeof key_);
    OPENSSL_cleanse(iv_, sizeof iv_);
    OPENSSL_cleanse(&P_[0], P_.size());
}

void kv_srp6_client::free_exchange()
{
    BN_clear_free(S_);
    S_ = nullptr;
    OPENSSL_free(M1text_);
    OPENSSL_free(M2text_);
    M1text_ = M2text_ = nullptr;
}

bool kv_srp6_client::init_user_password(string_piece I, string_piece P, const char* groupId)
{
    if (!I.data || I.len == 0 || !P.data || !groupId)
        return false;
    SRP_gN* gN = SRP_get_default_gN(groupId);
    if (!gN)
        return false;
    N_ = gN->N;
    g_ = gN->g;
    if (!P_.empty())
        OPENSSL_cleanse(&P_[0], P_.size());
    I_.assign(I.data, I.len);
    P_.assign(P.data, P.len);
    proofRefused_ = false;
    free_exchange();
    BN_clear_free(a_);
    BN_clear_free(A_);
    OPENSSL_free(Atext_);
    a_ = A_ = nullptr;
    Atext_ = nullptr;
    memset(key_, 0, sizeof key_);
    memset(iv_, 0, sizeof iv_);

    if (!testPrivate_.empty()) {
        a_ = parse_hex({testPrivate_.data(), static_cast<uint32_t>(testPrivate_.size())});
    } else {
        uint8_t rnd[32];
        if (RAND_priv_bytes(rnd, sizeof rnd) == 1)
            a_ = BN_bin2bn(rnd, sizeof rnd, nullptr);
        OPENSSL_cleanse(rnd, sizeof rnd);
    }
    if (!a_)
        return false;
    A_ = SRP_Calc_A(a_, N_, g_);
    if (!A_)
        return false;
    Atext_ = BN_bn2hex(A_);
    return Atext_ != nullptr;
}

bool kv_srp6_client::get_A(string_piece* out) const
{
    if (!Atext_ || !out)
        return false;
    out->data = Atext_;
    out->len = static_cast<uint32_t>(strlen(Atext_));
    return true;
}

bool kv_srp6_client::get_M1(string_piece Btext, string_piece saltText, string_piece* out)
{
    if (!A_ || !a_ || !N_ || !out)
        return false;
    free_exchange();
    Bn B(parse_hex(Btext));
    Bn s(parse_hex(saltText));
    if (!B || !s)
        return false;
    // RFC 5054: abort when B mod N is 0; every number of M1 must be below N as well.
    if (BN_ucmp(B.get(), N_) >= 0 || BN_ucmp(s.get(), N_) >= 0 || !SRP_Verify_B_mod_N(B.get(), N_))
        return false;
    Bn u(SRP_Calc_u(A_, B.get(), N_));
    Bn x(SRP_Calc_x(s.get(), I_.c_str(), P_.c_str()));
    if (!u || !x)
        return false;
    S_ = SRP_Calc_client_key(N_, B.get(), g_, x.get(), a_, u.get());
    if (!S_ || BN_is_zero(S_))
        return false;
    Bn M1(SRC_Calc_M1(N_, g_, I_.c_str(), s.get(), A_, B.get(), S_));
    if (!M1)
        return false;
    Bn M2(SRC_Calc_M2(N_, A_, M1.get(), S_));
    if (!M2)
        return false;
    M1text_ = BN_bn2hex(M1.get());
    M2text_ = BN_bn2hex(M2.get());
    if (!M1text_ || !M2text_)
        return false;
    out->data = M1text_;
    out->len = static_cast<uint32_t>(strlen(M1text_));
    return true;
}

bool kv_srp6_client::authenticated(string_piece M2)
{
    if (!M2text_ || !S_ || !M2.data)
        return false;
    const size_t len = strlen(M2text_);
    if (M2.len != len || memcmp(M2.data, M2text_, len) != 0)
        return false;
    char* st = BN_bn2hex(S_);
    if (!st)
        return false;
    const size_t sl = strlen(st);
    memset(key_, 0, sizeof key_);
    memset(iv_, 0, sizeof iv_);
    string_to_hex(st, sl, key_, sizeof key_);
    std::string rev(st, sl);
    for (size_t i = 0; i < sl / 2; ++i)
        std::swap(rev[i], rev[sl - 1 - i]);
    string_to_hex(rev.data(), sl, iv_, sizeof iv_);
    OPENSSL_cleanse(&rev[0], rev.size());
    OPENSSL_clear_free(st, sl);
    return true;
}

BIGNUM* kv_srp6_client::SRC_Calc_M1(const BIGNUM* N, const BIGNUM* g, const char* I, const BIGNUM* s,
                                    const BIGNUM* A, const BIGNUM* B, const BIGNUM* S)
{
    if (!N || !g || !I || !s || !A || !B || !S)
        return nullptr;
    if (BN_ucmp(s, N) >= 0 || BN_ucmp(A, N) >= 0 || BN_ucmp(B, N) >= 0 || BN_ucmp(S, N) >= 0)
        return nullptr;
    const int n = BN_num_bytes(N);
    std::unique_ptr<uint8_t[]> buf(new uint8_t[4 * static_cast<size_t>(n) + 40]);
    uint8_t hN[SHA_DIGEST_LENGTH], hg[SHA_DIGEST_LENGTH];
    if (!pad_bn(N, buf.get(), n))
        return nullptr;
    SHA1(buf.get(), n, hN);
    const int gl = BN_num_bytes(g);
    if (gl > n || BN_bn2bin(g, buf.get()) != gl)
        return nullptr;
    SHA1(buf.get(), gl, hg);
    uint8_t* p = buf.get();
    for (int i = 0; i < SHA_DIGEST_LENGTH; ++i)
        p[i] = hN[i] ^ hg[i];
    SHA1(reinterpret_cast<const uint8_t*>(I), strlen(I), p + SHA_DIGEST_LENGTH);
    // The head (X | H(I)) and the four numbers hash as one message.
    SHA_CTX c;
    SHA1_Init(&c);
    SHA1_Update(&c, p, 2 * SHA_DIGEST_LENGTH);
    const BIGNUM* nums[] = {s, A, B, S};
    for (const BIGNUM* b : nums) {
        if (!pad_bn(b, buf.get(), n))
            return nullptr;
        SHA1_Update(&c, buf.get(), n);
    }
    uint8_t d[SHA_DIGEST_LENGTH];
    SHA1_Final(d, &c);
    OPENSSL_cleanse(buf.get(), 4 * static_cast<size_t>(n) + 40);
    return BN_bin2bn(d, sizeof d, nullptr);
}

BIGNUM* kv_srp6_client::SRC_Calc_M2(const BIGNUM* N, const BIGNUM* A, const BIGNUM* M1, const BIGNUM* S)
{
    if (!N || !A || !M1 || !S)
        return nullptr;
    if (BN_ucmp(A, N) >= 0 || BN_ucmp(M1, N) >= 0 || BN_ucmp(S, N) >= 0)
        return nullptr;
    const int n = BN_num_bytes(N);
    std::unique_ptr<uint8_t[]> buf(new uint8_t[3 * static_cast<size_t>(n)]);
    if (!pad_bn(A, buf.get(), n) || !pad_bn(M1, buf.get() + n, n) || !pad_bn(S, buf.get() + 2 * n, n))
        return nullptr;
    BIGNUM* r = sha1_bn(buf.get(), 3 * static_cast<size_t>(n));
    OPENSSL_cleanse(buf.get(), 3 * static_cast<size_t>(n));
    return r;
}
