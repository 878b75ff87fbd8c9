#include "local_addrs.h"

#include <arpa/inet.h>
#include <atomic>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

namespace {
std::atomic<KVLocalAddrProvider> gProvider{nullptr};

std::vector<KVLocalAddr> FromGetifaddrs()
{
    std::vector<KVLocalAddr> out;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0)
        return out;
    for (ifaddrs* i = list; i; i = i->ifa_next) {
        if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET)
            continue;
        if (!(i->ifa_flags & IFF_UP) || (i->ifa_flags & IFF_LOOPBACK))
            continue;
        char text[INET_ADDRSTRLEN];
        const auto* sin = reinterpret_cast<const sockaddr_in*>(i->ifa_addr);
        if (!inet_ntop(AF_INET, &sin->sin_addr, text, sizeof text))
            continue;
        KVLocalAddr a;
        a.addr = text;
        a.ifindex = if_nametoindex(i->ifa_name);
        a.broadcast = (i->ifa_flags & IFF_BROADCAST) != 0;
        out.push_back(a);
    }
    freeifaddrs(list);
    return out;
}
} // namespace

std::vector<KVLocalAddr> kv_local_ipv4()
{
    KVLocalAddrProvider p = gProvider.load();
    return p ? p() : FromGetifaddrs();
}

void kv_set_local_addr_provider(KVLocalAddrProvider p)
{
    gProvider.store(p);
}
