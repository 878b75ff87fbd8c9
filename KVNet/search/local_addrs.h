// The machine's own IPv4 addresses, from which the search broadcasts and the
// re-addressing is sent. Behind a seam so tests can pin the list.
#pragma once
#include <string>
#include <vector>

struct KVLocalAddr {
    std::string addr;       // dotted text
    unsigned ifindex = 0;   // 0 when unknown
    bool broadcast = false; // the interface can broadcast
};

// Every up, non-loopback IPv4 interface address, in getifaddrs order. Empty when
// there is none (callers then fall back to "0.0.0.0").
std::vector<KVLocalAddr> kv_local_ipv4();

// Seam: a provider that replaces getifaddrs; null restores the default.
using KVLocalAddrProvider = std::vector<KVLocalAddr> (*)();
void kv_set_local_addr_provider(KVLocalAddrProvider p);
