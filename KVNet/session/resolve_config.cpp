#include "resolve_config.h"

#include <algorithm>
#include <atomic>

#include "kv_lock.h"
#include "resolve_wire.h"

namespace {

StaticMutex gHostsMutex;
std::vector<std::string> gDirHosts = kv_resolve_default_dir_hosts();
std::atomic<uint16_t> gHttpPort{kvresolve::kHttpPort};
std::atomic<uint16_t> gDirPort{kvresolve::kDirPort};

} // namespace

std::vector<std::string> kv_resolve_default_dir_hosts()
{
    std::vector<std::string> out;
    for (const char* domain : {"dirsvc-one", "dirsvc-two"})
        for (const char* tld : {".example", ".test"})
            for (const char* prefix : {"", "ddns."})
                out.push_back(std::string(prefix) + domain + tld);
    return out;
}

void kv_resolve_set_dir_hosts(const std::vector<std::string>& hosts)
{
    ScopedLock l(gHostsMutex);
    gDirHosts = hosts.empty() ? kv_resolve_default_dir_hosts() : hosts;
}

bool kv_resolve_is_dir_host(const std::string& host)
{
    if (host.empty())
        return false;
    ScopedLock l(gHostsMutex);
    return std::find(gDirHosts.begin(), gDirHosts.end(), host) != gDirHosts.end();
}

void kv_resolve_set_ports(uint16_t http, uint16_t dir)
{
    gHttpPort = http ? http : kvresolve::kHttpPort;
    gDirPort = dir ? dir : kvresolve::kDirPort;
}

uint16_t kv_resolve_http_port()
{
    return gHttpPort.load();
}

uint16_t kv_resolve_dir_port()
{
    return gDirPort.load();
}
