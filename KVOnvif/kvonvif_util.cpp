#include "kvonvif_util.h"

#include <arpa/inet.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/random.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <mutex>

namespace kvonvif {

static inline uint32_t rol(uint32_t v, int n) { return (v << n) | (v >> (32 - n)); }

sha1_ctx::sha1_ctx()
    : h_{0x67452301u, 0xEFCDAB89u, 0x98BADCFEu, 0x10325476u, 0xC3D2E1F0u} {}

void sha1_ctx::block(const uint8_t* p) {
    uint32_t w[80];
    for (int i = 0; i < 16; ++i)
        w[i] = (uint32_t)p[4 * i] << 24 | (uint32_t)p[4 * i + 1] << 16 |
               (uint32_t)p[4 * i + 2] << 8 | p[4 * i + 3];
    for (int i = 16; i < 80; ++i) w[i] = rol(w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16], 1);
    uint32_t a = h_[0], b = h_[1], c = h_[2], d = h_[3], e = h_[4];
    for (int i = 0; i < 80; ++i) {
        uint32_t f, k;
        if (i < 20)      { f = (b & c) | (~b & d);           k = 0x5A827999u; }
        else if (i < 40) { f = b ^ c ^ d;                    k = 0x6ED9EBA1u; }
        else if (i < 60) { f = (b & c) | (b & d) | (c & d);  k = 0x8F1BBCDCu; }
        else             { f = b ^ c ^ d;                    k = 0xCA62C1D6u; }
        uint32_t t = rol(a, 5) + f + e + k + w[i];
        e = d; d = c; c = rol(b, 30); b = a; a = t;
    }
    h_[0] += a; h_[1] += b; h_[2] += c; h_[3] += d; h_[4] += e;
}

void sha1_ctx::update(const void* data, size_t len) {
    const uint8_t* p = static_cast<const uint8_t*>(data);
    total_ += len;
    if (used_) {
        size_t take = 64 - used_ < len ? 64 - used_ : len;
        memcpy(buf_ + used_, p, take);
        used_ += take; p += take; len -= take;
        if (used_ < 64) return;
        block(buf_);
        used_ = 0;
    }
    for (; len >= 64; p += 64, len -= 64) block(p);
    if (len) { memcpy(buf_, p, len); used_ = len; }
}

void sha1_ctx::final(uint8_t out[20]) {
    uint64_t bits = total_ * 8;
    uint8_t pad[72] = {0x80};
    size_t padlen = used_ < 56 ? 56 - used_ : 120 - used_;
    update(pad, padlen);
    uint8_t lenbe[8];
    for (int i = 0; i < 8; ++i) lenbe[i] = (uint8_t)(bits >> (56 - 8 * i));
    update(lenbe, 8);
    for (int i = 0; i < 5; ++i) {
        out[4 * i] = (uint8_t)(h_[i] >> 24);
        out[4 * i + 1] = (uint8_t)(h_[i] >> 16);
        out[4 * i + 2] = (uint8_t)(h_[i] >> 8);
        out[4 * i + 3] = (uint8_t)h_[i];
    }
}

void sha1(const void* data, size_t len, uint8_t out[20]) {
    sha1_ctx c;
    c.update(data, len);
    c.final(out);
}

std::string base64_encode(const void* data, size_t len) {
    static const char tab[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    const uint8_t* p = static_cast<const uint8_t*>(data);
    std::string out;
    out.reserve((len + 2) / 3 * 4);
    size_t i = 0;
    for (; i + 3 <= len; i += 3) {
        uint32_t v = (uint32_t)p[i] << 16 | (uint32_t)p[i + 1] << 8 | p[i + 2];
        out += tab[v >> 18]; out += tab[(v >> 12) & 63]; out += tab[(v >> 6) & 63]; out += tab[v & 63];
    }
    if (len - i == 1) {
        uint32_t v = (uint32_t)p[i] << 16;
        out += tab[v >> 18]; out += tab[(v >> 12) & 63]; out += "==";
    } else if (len - i == 2) {
        uint32_t v = (uint32_t)p[i] << 16 | (uint32_t)p[i + 1] << 8;
        out += tab[v >> 18]; out += tab[(v >> 12) & 63]; out += tab[(v >> 6) & 63]; out += '=';
    }
    return out;
}

// Shared by every request of the process; atomic so that concurrent requests never
// take the same value.
static std::atomic<uint16_t> g_nonce_counter{0xCA53};

uint16_t take_nonce_counter() { return g_nonce_counter.fetch_add(1, std::memory_order_relaxed); }
void set_nonce_counter(uint16_t next) { g_nonce_counter.store(next); }

void format_nonce(char out[21], uint32_t now, uint16_t counter, uint32_t rnd) {
    snprintf(out, 21, "%8.8x%4.4hx%8.8x", now, counter, rnd);
}

void calc_password_digest(const char nonce[20], const char* created, const char* password,
                          uint8_t out[20]) {
    sha1_ctx c;
    c.update(nonce, 20);
    if (created) c.update(created, strlen(created));
    if (password) c.update(password, strlen(password));
    c.final(out);
}

void netmask_from_prefix(int p, uint8_t out[4]) {
    if (p < 0 || p > 32) {
        out[0] = 255; out[1] = 255; out[2] = 0; out[3] = 0;
        return;
    }
    uint32_t m = p == 0 ? 0 : 0xFFFFFFFFu << (32 - p);
    out[0] = (uint8_t)(m >> 24); out[1] = (uint8_t)(m >> 16);
    out[2] = (uint8_t)(m >> 8);  out[3] = (uint8_t)m;
}

int prefix_from_netmask(const uint8_t mask[4]) {
    int n = 0;
    for (int i = 0; i < 4; ++i)
        for (int b = 7; b >= 0; --b) {
            if (!(mask[i] >> b & 1)) return n;
            ++n;
        }
    return n;
}

void seed_random_once() {
    static std::once_flag once;
    std::call_once(once, [] {
        unsigned seed = 0;
        if (getrandom(&seed, sizeof seed, 0) != (ssize_t)sizeof seed) {
            struct timespec ts;
            clock_gettime(CLOCK_REALTIME, &ts);
            seed = (unsigned)ts.tv_nsec ^ (unsigned)ts.tv_sec ^ ((unsigned)getpid() << 16);
        }
        srandom(seed);
    });
}

std::string dotted(const uint8_t a[4]) {
    char t[16];
    snprintf(t, sizeof t, "%u.%u.%u.%u", a[0], a[1], a[2], a[3]);
    return t;
}

bool parse_ipv4(const char* text, uint8_t out[4]) {
    struct in_addr a;
    if (!text || inet_pton(AF_INET, text, &a) != 1) return false;
    memcpy(out, &a, 4);
    return true;
}

} // namespace kvonvif
