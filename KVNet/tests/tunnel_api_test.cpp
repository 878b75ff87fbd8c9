// The flat calls that configure the tunnels, and the placeholders.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "KVNet.h"
#include "kv_globals.h"

TEST(TunnelApi, ConfigurationRecords)
{
    KVNetInit();
    EXPECT_EQ(gTavixP2PPath[0], '\0');
    const std::string longPath(300, 'p');
    KVNetInitTX2PPath(longPath.c_str());
    EXPECT_EQ(std::string(gTavixP2PPath), longPath.substr(0, 259)) << "cut to 259 characters";
    KVNetInitTX2PPath("/opt/tx");
    EXPECT_STREQ(gTavixP2PPath, "/opt/tx");
    KVNetInitTX2PPath(nullptr);
    EXPECT_STREQ(gTavixP2PPath, "");

    std::vector<uint8_t> info(520);
    for (size_t i = 0; i < info.size(); ++i)
        info[i] = static_cast<uint8_t>(i * 13 + 1);
    KVNetInitP2PServerInfo(info.data());
    EXPECT_EQ(memcmp(gP2PServerInfo, info.data(), 520), 0);
    KVNetInitP2PServerInfo(nullptr); // nothing to copy: the record stays
    EXPECT_EQ(memcmp(gP2PServerInfo, info.data(), 520), 0);
    KVNetInit();
    const std::vector<uint8_t> zero(520, 0);
    EXPECT_EQ(memcmp(gP2PServerInfo, zero.data(), 520), 0) << "KVNetInit clears the record";
    KVNetRelease();
}

TEST(TunnelApi, Placeholders)
{
    KVNetP2PEnterBackgroundDestroy();
    KVNetHttpReqDev();
    EXPECT_EQ(KVNetHttpReqDevStart(), nullptr);
    KVNetHttpReqDevStop();
}
