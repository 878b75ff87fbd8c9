// SRP-6a client state of one connection (RFC 5054 1024-bit group, SHA-1), with the key and
// IV of the AES envelope derived from the premaster secret. Also the hex helpers and the
// SHA-256 the session uses for its credential hashes.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include <openssl/bn.h>
#include <openssl/sha.h>

// A text passed to and from the client: pointer and 32-bit length (no NUL counted).
struct string_piece {
    const char* data = nullptr;
    uint32_t len = 0;
};

class kv_srp6_client {
public:
    static constexpr size_t kKeyBuf = 1024;

    kv_srp6_client();
    ~kv_srp6_client();
    kv_srp6_client(const kv_srp6_client&) = delete;
    kv_srp6_client& operator=(const kv_srp6_client&) = delete;

    // Starts a new exchange: keeps I and P, draws a fresh a, computes A, zeroes the key
    // and IV. I must not be empty; P may be empty but must be given.
    bool init_user_password(string_piece I, string_piece P, const char* groupId);
    // A as upper-case hex (no leading zero bytes); false before init_user_password.
    bool get_A(string_piece* out) const;
    // Computes S, M1 and M2 from the device's B and salt (hex); returns M1's text.
    // Refuses B mod N = 0, any number not below N, and S = 0.
    bool get_M1(string_piece B, string_piece salt, string_piece* out);
    // True when the device's M2 equals the computed text exactly; then derives key and IV.
    bool authenticated(string_piece M2);
    void get_key_iv(const uint8_t** key, const uint8_t** iv) const
    {
        *key = key_;
        *iv = iv_;
    }
    const uint8_t* key() const { return key_; }
    const uint8_t* iv() const { return iv_; }

    // M1 = SHA1(H(N) xor H(g) | H(I) | s | A | B | S), numbers padded to N's length.
    static BIGNUM* SRC_Calc_M1(const BIGNUM* N, const BIGNUM* g, const char* I, const BIGNUM* s,
                               const BIGNUM* A, const BIGNUM* B, const BIGNUM* S);
    // M2 = SHA1(A | M1 | S), padded to N's length.
    static BIGNUM* SRC_Calc_M2(const BIGNUM* N, const BIGNUM* A, const BIGNUM* M1, const BIGNUM* S);

    // Set by a key exchange whose device proof did not match (the login reports it as a
    // wrong password); cleared by init_user_password.
    bool proof_refused() const { return proofRefused_; }
    void set_proof_refused(bool on = true) { proofRefused_ = on; }

    // Test seam: the next init_user_password uses this private value (hex) instead of
    // drawing one. Empty restores random draws.
    void set_private_for_test(const std::string& hex) { testPrivate_ = hex; }
    // The computed texts (for tests and the fuzz targets).
    const char* A_text() const { return Atext_; }
    const char* M1_text() const { return M1text_; }
    const char* M2_text() const { return M2text_; }

protected:
    void free_exchange();

    const BIGNUM* N_ = nullptr;
    const BIGNUM* g_ = nullptr;
    std::string I_;
    std::string P_;
    BIGNUM* a_ = nullptr;
    BIGNUM* A_ = nullptr;
    BIGNUM* S_ = nullptr;
    char* Atext_ = nullptr;
    char* M1text_ = nullptr;
    char* M2text_ = nullptr;
    uint8_t key_[kKeyBuf];
    uint8_t iv_[kKeyBuf];
    bool proofRefused_ = false;
    std::string testPrivate_;
};

// Upper-case hex of bytes with a NUL; false when 2*len >= room or an argument is empty.
bool hex_to_string(const uint8_t* bytes, size_t len, char* out, size_t room);
// Decodes pairs of hex digits (either case) into out; does nothing when len is 0 or odd,
// or exceeds 2*room. Returns the number of bytes written.
size_t string_to_hex(const char* text, size_t len, uint8_t* out, size_t room);
// True when every character is a hex digit and there is at least one.
bool kv_is_hex(const char* text, size_t len);

// SHA-256 (FIPS 180-4). Named apart from OpenSSL's SHA256().
class KVSha256 {
public:
    KVSha256() { init(); }
    void init();
    void update(const void* data, size_t len);
    void final(uint8_t digest[32]);

private:
    SHA256_CTX ctx_;
};
// SHA-256 of a text as 64 lower-case hex digits.
std::string sha256(const std::string& text);
