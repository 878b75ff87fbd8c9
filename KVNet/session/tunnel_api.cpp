// The flat calls that configure the P2P tunnels, and the HTTP placeholders.
#include <cstring>

#include "KVNet.h"
#include "kv_globals.h"

extern "C" void KVNetInitTX2PPath(const char* path)
{
    memset(gTavixP2PPath, 0, sizeof gTavixP2PPath);
    if (path)
        strncpy(gTavixP2PPath, path, sizeof gTavixP2PPath - 1);
}

extern "C" void KVNetInitP2PServerInfo(const void* info)
{
    if (info)
        memcpy(gP2PServerInfo, info, sizeof gP2PServerInfo);
}

extern "C" void KVNetP2PEnterBackgroundDestroy(void) {}

extern "C" void KVNetHttpReqDev(void) {}

extern "C" void* KVNetHttpReqDevStart(void)
{
    return nullptr;
}

extern "C" void KVNetHttpReqDevStop(void) {}
