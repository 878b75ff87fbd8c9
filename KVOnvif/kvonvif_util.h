/* Self-contained helpers of the ONVIF client: SHA-1, Base64, the request nonce,
 * prefix length <-> netmask, and the once-per-process seeding of random(). */
#ifndef KVONVIF_UTIL_H
#define KVONVIF_UTIL_H

#include <stddef.h>
#include <stdint.h>
#include <string>

namespace kvonvif {

/* SHA-1 (FIPS 180-4): 64-byte blocks, big-endian words and length. */
class sha1_ctx {
public:
    sha1_ctx();
    void update(const void* data, size_t len);
    void final(uint8_t out[20]);

private:
    void block(const uint8_t* p);
    uint32_t h_[5];
    uint64_t total_ = 0;   // bytes hashed so far
    uint8_t  buf_[64];
    size_t   used_ = 0;
};

void sha1(const void* data, size_t len, uint8_t out[20]);

/* Standard alphabet, '=' padding, no line breaks. */
std::string base64_encode(const void* data, size_t len);

/* 20 characters "%8.8x%4.4hx%8.8x" of time, counter and random value (no terminator
 * written beyond out[20], which is set to 0). */
void format_nonce(char out[21], uint32_t now, uint16_t counter, uint32_t rnd);
/* Takes the process-wide nonce counter (starts at 0xCA53) and advances it by one. */
uint16_t take_nonce_counter();
/* For tests: sets the next value that take_nonce_counter returns. */
void set_nonce_counter(uint16_t next);

/* SHA-1 over nonce (20 characters), created text and password text. */
void calc_password_digest(const char nonce[20], const char* created, const char* password,
                          uint8_t out[20]);

/* p in 0..32 sets the first p bits; anything else gives 255.255.0.0. */
void netmask_from_prefix(int p, uint8_t out[4]);
/* Number of leading one bits, at most 32. */
int prefix_from_netmask(const uint8_t mask[4]);

/* Seeds random() once per process from the system's random source, so that message
 * IDs and nonces differ between runs. Safe to call from any thread, any number of times. */
void seed_random_once();

/* Dotted text of four address bytes. */
std::string dotted(const uint8_t a[4]);
/* Dotted IPv4 text to four bytes; false (out unchanged) when the text is no address. */
bool parse_ipv4(const char* text, uint8_t out[4]);

} // namespace kvonvif

#endif
