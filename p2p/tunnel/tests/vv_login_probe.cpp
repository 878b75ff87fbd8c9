// A device session through the VERov tunnel, for the namespace tests: configures the P2P
// server record, logs in to the device ID with the given login type and prints every code of
// the message callback as {"code": n}; {"end": 1} after the login (101), a refusal or the
// time limit. Usage: vv_login_probe SERVER PORT DEVICE-ID DEVICE-PORT LOGIN-TYPE [SECONDS]
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "KVNet.h"
#include "vv_nat.h"

namespace {
std::atomic<int> g_last{-1};
std::atomic<bool> g_done{false};

void OnMsg(unsigned code, void*)
{
    printf("{\"code\": %u}\n", code);
    fflush(stdout);
    g_last = static_cast<int>(code);
    if (code == 101 || (code >= 102 && code <= 112) || code == 150)
        g_done = true;
}
}  // namespace

int main(int argc, char** argv)
{
    if (argc < 6)
        return 2;
    const int seconds = argc > 6 ? atoi(argv[6]) : 120;
    vv_nat_set_time_scale(10);
    KVNetInit();
    unsigned char info[520] = {};
    const uint32_t port = static_cast<uint32_t>(atoi(argv[2]));
    snprintf(reinterpret_cast<char*>(info), 128, "%s", argv[1]);
    memcpy(info + 128, &port, 4);
    snprintf(reinterpret_cast<char*>(info + 132), 128, "%s", argv[1]);
    memcpy(info + 260, &port, 4);
    KVNetInitP2PServerInfo(info);
    KVNetConnectionParam p;
    memset(&p, 0, sizeof p);
    p.szAddr = argv[3];
    p.nPort = static_cast<uint32_t>(atoi(argv[4]));
    p.szUser = "admin";
    p.szPwd = "admin123";
    p.bAutoReconnect = 1;
    p.msgCallback = &OnMsg;
    p.nLoginType = atoi(argv[5]);
    DevConnection* c = KVNetConnectionStartEx(&p);
    if (!c) {
        printf("{\"error\": \"start\"}\n");
        return 1;
    }
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!g_done && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    printf("{\"end\": 1, \"last\": %d}\n", g_last.load());
    fflush(stdout);
    KVNetConnectionStop(&c);
    KVNetRelease();
    return 0;
}
