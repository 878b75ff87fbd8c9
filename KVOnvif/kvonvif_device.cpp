#include <system_error>
#include "kvonvif_device.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <atomic>
#include <climits>

#include "kvonvif_soap.h"
#include "kvonvif_util.h"
#include "soapDeviceBindingProxy.h"
#include "wsaapi.h"

namespace kvonvif {

namespace {

const char kPasswordText[] =
    "http://docs.oasis-open.org/wss/2004/01/oasis-200401-wss-username-token-profile-1.0#PasswordText";
const char kPasswordDigest[] =
    "http://docs.oasis-open.org/wss/2004/01/oasis-200401-wss-username-token-profile-1.0#PasswordDigest";

// A reply of the device service is a few KiB; anything near these limits is not one.
const soap_limits kReplyLimits = {1 << 20, 64, 1024, 65536};
// Attributes of one element in a reply (the service's replies carry a few at most).
const unsigned kMaxAttributes = 64;

std::atomic<int> g_timeout_ms{5000};
std::atomic<request_hook> g_hook{nullptr};

const size_t kQueryNeeds = offsetof(KVNet_NetworkBaseSet_t, DhcpFlag) + 1;   // 269
const size_t kSetNeeds = offsetof(KVNet_NetworkBaseSet_t, AddrMode) + 1;     // 25

bool zero4(const uint8_t a[4]) { return !a[0] && !a[1] && !a[2] && !a[3]; }

// The interface a query reads and a change writes: the first enabled one with an IPv4
// configuration.
tt__NetworkInterface* chosen_interface(_tds__GetNetworkInterfacesResponse& resp) {
    for (tt__NetworkInterface* ni : resp.NetworkInterfaces)
        if (ni && ni->Enabled && ni->IPv4 && ni->IPv4->Config) return ni;
    return nullptr;
}

// The address entry of a configuration: FromDHCP under DHCP, else the first Manual one.
const tt__PrefixedIPv4Address* current_entry(const tt__IPv4Configuration* c) {
    if (!c) return nullptr;
    if (c->DHCP) return c->FromDHCP;
    return c->Manual.empty() ? nullptr : c->Manual.front();
}

} // namespace

void set_request_timeout_ms(int ms) { g_timeout_ms.store(ms > 0 ? ms : 5000); }
int request_timeout_ms() { return g_timeout_ms.load(); }
void set_request_hook(request_hook hook) { g_hook.store(hook); }

// ---------------------------------------------------------------------------------------
// kvonvif_device

void kvonvif_device::start(const KVNetConnectionParam& p) {
    stop();   // an earlier status task reads these fields
    addr = p.szAddr ? p.szAddr : "";
    port = p.nPort;
    user = p.szUser ? p.szUser : "";
    password = p.szPwd ? p.szPwd : "";
    callback = p.msgCallback;
    user_ptr = p.pUser;
    try {
        status = std::async(std::launch::async, &kvonvif_device::run, this);
    } catch (const std::system_error&) {
        // No thread for the status task: no callback comes, as for a refused start.
    }
}

void kvonvif_device::run() {
    // Nothing is sent here: the credentials are first used by the next query or change.
    if (callback) callback(101, user_ptr);
}

void kvonvif_device::stop() {
    if (status.valid()) status.wait();
}

bool kvonvif_device::query_ex(const KVNetQueryParamParamEx* p) {
    if (p->nParamType != 511) return false;
    kvonvif_params_net net(*this);
    return net.query_ex(p);
}

bool kvonvif_device::set(const KVNetSetParamParam* p) {
    if (p->nParamType != 511) return false;
    kvonvif_params_net net(*this);
    return net.set(p);
}

// ---------------------------------------------------------------------------------------
// kvonvif_params

kvonvif_params::kvonvif_params(kvonvif_device& dev) : dev_(dev) {
    int n = snprintf(endpoint_, sizeof endpoint_, "http://%s:%d/onvif/device_service",
                     dev.addr.c_str(), (int)dev.port);
    // A cut endpoint would address another host: such a device is not reachable.
    endpoint_ok_ = n > 0 && (size_t)n < sizeof endpoint_;
}

kvonvif_params::~kvonvif_params() = default;

void kvonvif_params::calc_nonce(char out[21]) {
    seed_random_once();
    format_nonce(out, (uint32_t)time(nullptr), take_nonce_counter(), (uint32_t)random());
}

void kvonvif_params::calc_digest(const char nonce[20], const char* created, const char* password,
                                 uint8_t out[20]) {
    calc_password_digest(nonce, created, password, out);
}

_wsse__Security* kvonvif_params::soap_wsse_add_Security(struct soap* soap) {
    if (!soap->header) {
        soap->header = soap_new_SOAP_ENV__Header(soap);
        if (!soap->header) return nullptr;
    }
    if (!soap->header->wsse__Security) {
        soap->header->wsse__Security = soap_new__wsse__Security(soap);
    }
    return soap->header->wsse__Security;
}

// UsernameToken with the password text first, as the token profile builds it; the
// caller then turns it into a digest token.
_wsse__UsernameToken* kvonvif_params::soap_wsse_add_UsernameTokenText(struct soap* soap, const char* id,
                                                                      const char* user,
                                                                      const char* password) {
    _wsse__Security* sec = soap_wsse_add_Security(soap);
    if (!sec) {
        soap->error = SOAP_EOM;
        return nullptr;
    }
    _wsse__UsernameToken* tok = soap_new__wsse__UsernameToken(soap);
    _wsse__Password* pw = soap_new__wsse__Password(soap);
    if (!tok || !pw) {
        soap->error = SOAP_EOM;
        return nullptr;
    }
    sec->UsernameToken = tok;
    tok->wsu__Id = soap_strdup(soap, id);
    tok->Username = soap_strdup(soap, user);
    tok->Password = pw;
    pw->__item = soap_strdup(soap, password);
    pw->Type = const_cast<char*>(kPasswordText);
    return tok;
}

bool kvonvif_params::get_device_proxy(DeviceBindingProxy& proxy) {
    if (!endpoint_ok_) return false;
    seed_random_once();
    struct soap* soap = proxy.soap;
    setup_context(soap, kReplyLimits);
    if (request_hook h = g_hook.load()) h(soap);
    // Each wait of the request (connect, send, answer) is limited by the request time-out,
    // the whole request by twice it: a service that drips bytes, or a reply whose parse
    // would take long, cannot hold the caller longer.
    const int ms = request_timeout_ms();
    const int whole = ms > INT_MAX / 2 ? INT_MAX : 2 * ms;  // long time-outs must not wrap
    if (!guard_exchange(soap, ms, whole, kMaxAttributes)) return false;

    const char* msgid = soap_wsa_rand_uuid(soap);
    if (!msgid) return false;
    soap->header = soap_new_SOAP_ENV__Header(soap);
    if (!soap->header) return false;
    soap->header->wsa__MessageID = const_cast<char*>(msgid);

    // The date text lives in a scratch buffer of the context: copy it before anything
    // else uses the context.
    char created[64];
    snprintf(created, sizeof created, "%s", soap_dateTime2s(soap, time(nullptr)));

    char nonce[21];
    calc_nonce(nonce);
    uint8_t digest[20];
    calc_digest(nonce, created, dev_.password.c_str(), digest);
    std::string pw64 = base64_encode(digest, sizeof digest);
    std::string nonce64 = base64_encode(nonce, 20);

    _wsse__UsernameToken* tok =
        soap_wsse_add_UsernameTokenText(soap, msgid, dev_.user.c_str(), pw64.c_str());
    if (!tok) return false;
    tok->Password->Type = const_cast<char*>(kPasswordDigest);
    tok->Nonce = soap_new_wsse__EncodedString(soap);
    if (!tok->Nonce) return false;
    tok->Nonce->__item = soap_strdup(soap, nonce64.c_str());
    tok->Nonce->wsu__Id = soap_strdup(soap, msgid);
    tok->wsu__Created = soap_strdup(soap, created);
    return tok->wsu__Created != nullptr;
}

bool kvonvif_params::reboot_device() {
    DeviceBindingProxy proxy;
    if (!get_device_proxy(proxy)) return false;
    _tds__SystemReboot req;
    _tds__SystemRebootResponse resp;
    return proxy.SystemReboot(endpoint_, nullptr, &req, resp) == SOAP_OK;
}

// ---------------------------------------------------------------------------------------
// kvonvif_params_net

bool kvonvif_params_net::query_ip(net_block* b, DeviceBindingProxy& proxy,
                                  _tds__GetNetworkInterfacesResponse& resp, ip_found* found) {
    *found = ip_none_interface;
    bool ok = get_device_proxy(proxy);
    if (ok) {
        _tds__GetNetworkInterfaces req;
        ok = proxy.GetNetworkInterfaces(endpoint_, nullptr, &req, resp) == SOAP_OK;
    }
    if (ok) {
        if (tt__NetworkInterface* ni = chosen_interface(resp)) {
            const tt__IPv4Configuration* c = ni->IPv4->Config;
            b->DhcpFlag = c->DHCP ? 1 : 0;
            b->AddrMode = c->DHCP ? 0 : 2;
            *found = ip_no_address;
            if (const tt__PrefixedIPv4Address* e = current_entry(c)) {
                if (parse_ipv4(e->Address.c_str(), b->IPAddr)) *found = ip_ok;
                netmask_from_prefix(e->PrefixLength, b->NetMask);
            }
        }
    }
    printf("===onvif query_ip:%s, ip:%s, netmask:%s, mode:%d\n", ok ? "true" : "false",
           dotted(b->IPAddr).c_str(), dotted(b->NetMask).c_str(), b->AddrMode);
    return ok;
}

bool kvonvif_params_net::query_port(net_block* b, DeviceBindingProxy& proxy,
                                    _tds__GetNetworkProtocolsResponse& resp) {
    bool ok = get_device_proxy(proxy);
    if (ok) {
        _tds__GetNetworkProtocols req;
        ok = proxy.GetNetworkProtocols(endpoint_, nullptr, &req, resp) == SOAP_OK;
    }
    if (ok) {
        // The last HTTP entry with a port wins.
        for (tt__NetworkProtocol* np : resp.NetworkProtocols)
            if (np && np->Name == "HTTP" && !np->Port.empty()) {
                const int port = np->Port.front();
                // -1 would read as 4294967295: no port at all.
                if (port < 1 || port > 65535) {
                    nonsense = true;
                    continue;
                }
                b->HttpPort = (uint32_t)port;
            }
    }
    printf("===onvif query_port:%s, port:%d\n", ok ? "true" : "false", (int)b->HttpPort);
    return ok;
}

bool kvonvif_params_net::query_gateway(net_block* b, DeviceBindingProxy& proxy,
                                       _tds__GetNetworkDefaultGatewayResponse& resp) {
    bool ok = get_device_proxy(proxy);
    if (ok) {
        _tds__GetNetworkDefaultGateway req;
        ok = proxy.GetNetworkDefaultGateway(endpoint_, nullptr, &req, resp) == SOAP_OK;
    }
    // A gateway text that is no address must not read as 0.0.0.0.
    if (ok && resp.NetworkGateway && !resp.NetworkGateway->IPv4Address.empty() &&
        !parse_ipv4(resp.NetworkGateway->IPv4Address.front().c_str(), b->Gateway))
        nonsense = true;
    printf("===onvif query_gateway:%s, gateway:%s\n", ok ? "true" : "false",
           dotted(b->Gateway).c_str());
    return ok;
}

bool kvonvif_params_net::query_ex(const KVNetQueryParamParamEx* p) {
    // The caller's buffer must hold the block up to its DHCP flag.
    if (!p->pStruct || p->nStructSize < kQueryNeeds) return false;
    net_block b;
    size_t n = p->nStructSize < sizeof b ? p->nStructSize : sizeof b;
    memcpy(&b, p->pStruct, n);
    if (n < sizeof b) memset(reinterpret_cast<char*>(&b) + n, 0, sizeof b - n);

    bool ok;
    {
        DeviceBindingProxy proxy;
        _tds__GetNetworkInterfacesResponse resp;
        ip_found found;
        ok = query_ip(&b, proxy, resp, &found);
        // Zeros are no answer: an interface without a usable address fails the query.
        if (ok && found != ip_ok) ok = false;
    }
    if (ok) {
        DeviceBindingProxy proxy;
        _tds__GetNetworkProtocolsResponse resp;
        ok = query_port(&b, proxy, resp) && !nonsense;
    }
    if (ok) {
        DeviceBindingProxy proxy;
        _tds__GetNetworkDefaultGatewayResponse resp;
        ok = query_gateway(&b, proxy, resp);
    }
    if (nonsense) ok = false;
    // Steps that succeeded stay written, as when they write the caller's block directly.
    memcpy(p->pStruct, &b, n);
    return ok;
}

bool kvonvif_params_net::set_gateway(const net_block* b) {
    if (!b || zero4(b->Gateway)) {
        printf("===set_gateway:true, gateway is 0\n");
        return true;
    }
    net_block scratch;
    memset(&scratch, 0, sizeof scratch);
    DeviceBindingProxy qproxy;
    _tds__GetNetworkDefaultGatewayResponse qresp;
    if (!query_gateway(&scratch, qproxy, qresp) || !qresp.NetworkGateway ||
        qresp.NetworkGateway->IPv4Address.empty()) {
        printf("===set_gateway:false, call [query_gateway] false\n");
        return false;
    }
    std::string gw = dotted(b->Gateway);
    if (qresp.NetworkGateway->IPv4Address.front() == gw) {
        printf("set_gateway:true, param is equal, gateway:%s\n", gw.c_str());
        return true;
    }
    DeviceBindingProxy proxy;
    bool ok = get_device_proxy(proxy);
    if (ok) {
        _tds__SetNetworkDefaultGateway req;
        req.IPv4Address = qresp.NetworkGateway->IPv4Address;
        req.IPv4Address.front() = gw;
        req.IPv6Address = qresp.NetworkGateway->IPv6Address;
        _tds__SetNetworkDefaultGatewayResponse resp;
        ok = proxy.SetNetworkDefaultGateway(endpoint_, nullptr, &req, resp) == SOAP_OK;
    }
    printf("===onvif set_gateway:%s gateway:%s\n", ok ? "true" : "false", gw.c_str());
    return ok;
}

bool kvonvif_params_net::set_port(const net_block* b) {
    if (!b || b->HttpPort == 0) {
        printf("===set_port:true, port is 0\n");
        return true;
    }
    net_block scratch;
    memset(&scratch, 0, sizeof scratch);
    DeviceBindingProxy qproxy;
    _tds__GetNetworkProtocolsResponse qresp;
    if (!query_port(&scratch, qproxy, qresp) || qresp.NetworkProtocols.empty()) {
        printf("===set_port:false, call [query_port] false\n");
        return false;
    }
    tt__NetworkProtocol* http = nullptr;
    for (tt__NetworkProtocol* np : qresp.NetworkProtocols)
        if (np && np->Name == "HTTP") { http = np; break; }
    if (!http || http->Port.empty()) {
        printf("===set_port:false, not found http port in onvif query\n");
        return false;
    }
    if ((uint32_t)http->Port.front() == b->HttpPort) {
        printf("===set_port:true, param is equal, port:%d\n", (int)b->HttpPort);
        return true;
    }
    http->Port.front() = (int)b->HttpPort;
    DeviceBindingProxy proxy;
    bool ok = get_device_proxy(proxy);
    if (ok) {
        _tds__SetNetworkProtocols req;
        for (tt__NetworkProtocol* np : qresp.NetworkProtocols)
            if (np) req.NetworkProtocols.push_back(np);
        _tds__SetNetworkProtocolsResponse resp;
        ok = proxy.SetNetworkProtocols(endpoint_, nullptr, &req, resp) == SOAP_OK;
    }
    printf("===onvif set_port:%s, port:%d\n", ok ? "true" : "false", (int)b->HttpPort);
    return ok;
}

bool kvonvif_params_net::set_ip(const net_block* b, bool* reboot) {
    *reboot = false;
    if (!b) {
        printf("===set_ip:true, param is null\n");
        return true;
    }
    net_block cur;
    memset(&cur, 0, sizeof cur);
    DeviceBindingProxy qproxy;
    _tds__GetNetworkInterfacesResponse qresp;
    ip_found found;
    if (!query_ip(&cur, qproxy, qresp, &found) || qresp.NetworkInterfaces.empty() ||
        !qresp.NetworkInterfaces.front()) {
        printf("===set_ip:false, call [query_ip] false\n");
        return false;
    }
    bool change;
    if (b->AddrMode != cur.AddrMode)
        change = true;
    else if (b->NetMask[0] != 0 && memcmp(b->NetMask, cur.NetMask, 4) != 0)
        change = true;
    else
        change = b->IPAddr[0] != 0 && memcmp(b->IPAddr, cur.IPAddr, 4) != 0;
    if (!change) {
        printf("===set_ip:true, param is equal, ip:%s, netmask:%s, mode:%d\n",
               dotted(b->IPAddr).c_str(), dotted(b->NetMask).c_str(), b->AddrMode);
        return true;
    }

    tt__NetworkInterface* ni = chosen_interface(qresp);
    if (!ni) ni = qresp.NetworkInterfaces.front();
    const tt__IPv4Configuration* cfg = ni->IPv4 ? ni->IPv4->Config : nullptr;
    const tt__PrefixedIPv4Address* entry = current_entry(cfg);
    bool cur_dhcp = cfg && cfg->DHCP;
    int cur_prefix = entry ? entry->PrefixLength : 0;

    bool dhcp = b->AddrMode == 0;
    uint8_t ip[4];
    memcpy(ip, b->IPAddr, 4);
    int n = prefix_from_netmask(b->NetMask);
    int prefix = 0;
    if (!dhcp) {
        if (n != 0) prefix = n;
        else if (!cur_dhcp && cur_prefix != 0) prefix = cur_prefix;
        else return false;
        // An address that was not given keeps the device's own; never send 0.0.0.0.
        if (ip[0] == 0) {
            if (found != ip_ok || cur.IPAddr[0] == 0) return false;
            memcpy(ip, cur.IPAddr, 4);
        }
    } else {
        prefix = n;
    }
    std::string ip_text = dotted(ip);

    DeviceBindingProxy proxy;
    bool ok = get_device_proxy(proxy);
    if (ok) {
        struct soap* soap = proxy.soap;
        _tds__SetNetworkInterfaces req;
        req.InterfaceToken = ni->token;
        tt__NetworkInterfaceSetConfiguration* conf = soap_new_tt__NetworkInterfaceSetConfiguration(soap);
        tt__IPv4NetworkInterfaceSetConfiguration* v4 =
            soap_new_tt__IPv4NetworkInterfaceSetConfiguration(soap);
        bool* yes = soap_new_bool(soap);
        bool* dhcp_flag = soap_new_bool(soap);
        int* mtu = soap_new_int(soap);
        ok = conf && v4 && yes && dhcp_flag && mtu;
        if (ok) {
            *yes = true;
            *dhcp_flag = dhcp;
            *mtu = ni->Info && ni->Info->MTU ? *ni->Info->MTU : 1500;
            conf->Enabled = yes;
            conf->MTU = mtu;
            conf->IPv4 = v4;
            v4->Enabled = yes;
            v4->DHCP = dhcp_flag;
            if (!dhcp) {
                tt__PrefixedIPv4Address* m = soap_new_tt__PrefixedIPv4Address(soap);
                ok = m != nullptr;
                if (ok) {
                    m->Address = ip_text;
                    m->PrefixLength = prefix;
                    v4->Manual.push_back(m);
                }
            }
        }
        if (ok) {
            req.NetworkInterface = conf;
            _tds__SetNetworkInterfacesResponse resp;
            ok = proxy.SetNetworkInterfaces(endpoint_, nullptr, &req, resp) == SOAP_OK;
            *reboot = ok && resp.RebootNeeded && *resp.RebootNeeded;
        }
    }
    uint8_t mask[4] = {0, 0, 0, 0};
    if (!dhcp || n != 0) netmask_from_prefix(prefix, mask);
    printf("===onvif set_ip:%s, ip:%s, netmask:%s, mode:%d\n", ok ? "true" : "false",
           ip_text.c_str(), dotted(mask).c_str(), b->AddrMode);
    return ok;
}

bool kvonvif_params_net::set(const KVNetSetParamParam* p) {
    const net_block* b = nullptr;
    net_block copy;
    if (p->pStruct) {
        // The block states its own size; it must reach the address mode.
        uint32_t size;
        memcpy(&size, p->pStruct, sizeof size);
        if (size < kSetNeeds) return false;
        size_t n = size < sizeof copy ? size : sizeof copy;
        memset(&copy, 0, sizeof copy);
        memcpy(&copy, p->pStruct, n);
        b = &copy;
    }
    bool reboot = false;
    if (!set_gateway(b) || !set_port(b) || !set_ip(b, &reboot)) return false;
    if (reboot) reboot_device();   // its own failure does not fail the change
    return true;
}

} // namespace kvonvif
