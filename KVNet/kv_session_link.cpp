// The envelope and key-exchange hooks of the message layer. Until the SRP-6a login layer
// provides them, a connection cannot enter the enveloped mode: every hook refuses.
#include "kv_socket_wrapper.h"

bool KVSyncSocketWrapper::SealEnvelope(uint8_t*, size_t)
{
    return false;
}

bool KVSyncSocketWrapper::OpenEnvelope(MsgBuf&)
{
    return false;
}

bool KVSyncSocketWrapper::KeyExchange(const MsgHeadWrap&, const void*, MsgBuf&)
{
    return false;
}

int KVSyncSocketWrapper::SessionMainMode() const
{
    return kModePlain;
}
