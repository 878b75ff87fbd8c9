// SRP-6a client state of one connection, with the key and IV of the AES envelope.
#pragma once
#include <cstdint>

class kv_srp6_client {
public:
    kv_srp6_client();
    ~kv_srp6_client();
    kv_srp6_client(const kv_srp6_client&) = delete;
    kv_srp6_client& operator=(const kv_srp6_client&) = delete;

    const uint8_t* key() const { return key_; }
    const uint8_t* iv() const { return iv_; }

protected:
    uint8_t key_[1024];
    uint8_t iv_[1024];
};
