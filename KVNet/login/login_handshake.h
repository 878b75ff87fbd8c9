// The login handshake of one connection, in one place: the login body, the probe (the
// first login of a connection goes without credentials and with the probe trailer), the
// SRP-6a key exchange a device asks for with AckFlag 10000, and the opening exchange of
// a side connection that repeats the key exchange of an enveloped session.
//
// It is given what it needs by value and works on the channel it is handed, on the
// thread that owns that channel; it keeps no reference to a session.
#pragma once
#include <cstdint>
#include <string>

#include "msg_channel.h"
#include "msg_types.h"
#include "srp6/kv_srp6_client.h"

namespace kvlogin {

struct Credentials {
    std::string user;
    std::string password;
};

// What a login body carries besides the credentials.
struct LoginRequest {
    int variant = 0;             // the login variant: message type and body layout
    uint32_t sessionId = 0;      // of the previous login, 0 before the first
    bool alarm = false;          // ask for alarm reports
    uint8_t loginFlag = 0;       // top byte of the flags word
    uint8_t headSecurity = 0;    // security bits of the head
    uint32_t seq = 0;            // Seq of the head
};

// The login message types; the first login of a connection carries the probe trailer.
bool IsLoginType(uint16_t msgType);

// The flags word of a login body.
uint32_t LoginFlags(const LoginRequest& r);

// How the device answered a login.
struct Answer {
    bool failed = true;   // no answer (connection broken, exchange failed)
    unsigned ack = 0;     // the AckFlag; 10002 when the device's proof did not match
};

class Handshake {
public:
    explicit Handshake(Credentials c);
    Handshake(const Handshake&) = delete;
    Handshake& operator=(const Handshake&) = delete;

    // The login: head and body from r and the credentials. With probe the body first goes
    // without credentials; a device that answers 10000 gets the key exchange, then the
    // full body inside the envelope. Without probe the full body goes at once.
    Answer Login(KVMsgChannel& ch, const LoginRequest& r, bool probe, MsgBuf& reply);
    // The same for a head and body given as they are (the probe clears the credential
    // prefix: 512 bytes for subtype 621, else 72, at most the body).
    Answer LoginWith(KVMsgChannel& ch, const MsgHeadWrap& head, const void* body, bool probe, MsgBuf& reply);
    // The opening exchange of a side connection: after the key exchange when its session
    // is enveloped, else as it is. False when no reply came.
    bool Open(KVMsgChannel& ch, const MsgHeadWrap& head, const void* body, MsgBuf& reply, bool enveloped);

private:
    // After the exchange the channel is enveloped and head and body went inside; false
    // when an exchange message got no reply or could not be read (proofRefused_ tells a
    // device proof that did not match).
    bool KeyExchange(KVMsgChannel& ch, const MsgHeadWrap& head, const void* body, MsgBuf& reply);

    Credentials cred_;
    kv_srp6_client srp_;
};

} // namespace kvlogin
