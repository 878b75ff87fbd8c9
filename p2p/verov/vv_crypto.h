// TEA block packing and MD5 of the VERov library. TEA here only hides text bodies from casual
// view: the key travels in the clear at the front of every datagram, so it is no protection.
#pragma once

#include <stdint.h>

// Byte-order functions of the library: every field is little-endian on the wire and the
// library only runs on little-endian hosts' conventions, so these pass values through.
uint16_t Ntohs(uint16_t v);
uint16_t Htons(uint16_t v);
uint32_t Ntohl(uint32_t v);
uint32_t Htonl(uint32_t v);

// One 8-byte block in place, as two words, with a key of four words.
void tea_encrypt(uint32_t* v, const uint32_t* k);
void tea_decrypt(uint32_t* v, const uint32_t* k);
void vv2_tea_encrypt(uint32_t* v, const uint32_t* k);
void vv2_tea_decrypt(uint32_t* v, const uint32_t* k);

// ECB over bytes; key = 16 bytes read as four little-endian words. encrypt_ex enciphers
// ceil(n/8) blocks (the buffer must reach the padded length) and returns that padded length.
int encrypt_ex(void* data, int n, const void* key16);
void decrypt_ex(void* data, int n, const void* key16);
int vv2_encrypt_ex(void* data, int n, const void* key16);
// Whole blocks only; a tail shorter than a block stays plain.
int encrypt_ex2(void* data, int n, const void* key16);
void decrypt_ex2(void* data, int n, const void* key16);

typedef struct {
  uint32_t state[4];
  uint32_t count[2];  // bit count, low word first
  unsigned char buffer[64];
} vv_MD5_CTX;

void vv_MD5Init(vv_MD5_CTX* ctx);
void vv_MD5Update(vv_MD5_CTX* ctx, const void* data, uint32_t len);
void vv_MD5Final(unsigned char digest[16], vv_MD5_CTX* ctx);
void vv_MD5Transform(uint32_t state[4], const uint32_t x[16]);
// Turns `words` 4-byte little-endian groups of buf into words in place.
void vv_MD5Decode(void* buf, int words);
// 32 lower-case hex characters and a NUL into out (33 bytes).
void vv_Md5String(const void* data, int len, char* out);
