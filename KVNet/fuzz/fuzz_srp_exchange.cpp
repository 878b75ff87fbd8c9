// The device's key-exchange replies: the hello answer (B and salt) through the client's
// arithmetic, and the proof answer (M2).
#include <cstddef>
#include <cstdint>
#include <string>

#include "srp6/kv_envelope.h"
#include "srp6/kv_srp6_client.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static kv_srp6_client* cl = [] {
        auto* c = new kv_srp6_client;
        c->set_private_for_test("1234567890ABCDEF1234567890ABCDEF");
        const std::string I(64, 'A');
        c->init_user_password({I.data(), 64}, {"pw", 2}, "1024");
        return c;
    }();
    std::string B, salt, M2;
    if (kvenv::ParseHelloReply(data, size, &B, &salt)) {
        string_piece M1;
        if (cl->get_M1({B.data(), static_cast<uint32_t>(B.size())}, {salt.data(), static_cast<uint32_t>(salt.size())},
                       &M1))
            cl->authenticated({M1.data, M1.len});
    }
    if (kvenv::ParseProofReply(data, size, &M2))
        cl->authenticated({M2.data(), static_cast<uint32_t>(M2.size())});
    return 0;
}
