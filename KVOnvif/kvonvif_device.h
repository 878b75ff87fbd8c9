/* The ONVIF "connection" and the network settings (parameter type 511) through the
 * device service: each step is one SOAP 1.2 request over HTTP with a WS-Security
 * UsernameToken digest of its own. */
#ifndef KVONVIF_DEVICE_H
#define KVONVIF_DEVICE_H

#include <stdint.h>

#include <future>
#include <string>

#include "KVNetTypes.h"

class DeviceBindingProxy;
class _tds__GetNetworkInterfacesResponse;
class _tds__GetNetworkProtocolsResponse;
class _tds__GetNetworkDefaultGatewayResponse;
struct soap;
struct _wsse__Security;
struct _wsse__UsernameToken;

namespace kvonvif {

/* Seconds-scale waits are injectable so that tests stay fast: the connect, send and
 * receive time-out of every request (default 5000 ms). */
void set_request_timeout_ms(int ms);
int request_timeout_ms();

/* Called on every request context after its set-up (tests and fuzz targets replace the
 * transport through it); null by default. */
typedef void (*request_hook)(struct soap* soap);
void set_request_hook(request_hook hook);

class kvonvif_device {
public:
    void start(const KVNetConnectionParam& p);
    void run();
    void stop();
    bool query_ex(const KVNetQueryParamParamEx* p);
    bool set(const KVNetSetParamParam* p);
    ~kvonvif_device() { stop(); }

    std::string addr;
    uint32_t port = 0;
    std::string user;
    std::string password;
    KVNetMsgCallback callback = nullptr;
    void* user_ptr = nullptr;
    std::future<void> status;
};

class kvonvif_params {
public:
    explicit kvonvif_params(kvonvif_device& dev);
    virtual ~kvonvif_params();
    virtual bool query_ex(const KVNetQueryParamParamEx* p) = 0;
    virtual bool set(const KVNetSetParamParam* p) = 0;

    /* Sets up the proxy's own context: limits, time-outs, message ID and UsernameToken.
     * False when the endpoint text did not fit or the token could not be built. */
    bool get_device_proxy(DeviceBindingProxy& proxy);
    /* 20 nonce characters (and a terminator). */
    static void calc_nonce(char out[21]);
    static void calc_digest(const char nonce[20], const char* created, const char* password,
                            uint8_t out[20]);
    /* The header's Security element, created when missing; null when out of memory. */
    static _wsse__Security* soap_wsse_add_Security(struct soap* soap);
    /* Resets the Security element's UsernameToken to one with id, user name and the
     * password as text; SOAP_EOM (20) in the context when it cannot be allocated. */
    static _wsse__UsernameToken* soap_wsse_add_UsernameTokenText(struct soap* soap, const char* id,
                                                                 const char* user,
                                                                 const char* password);
    bool reboot_device();
    const char* endpoint() const { return endpoint_; }

protected:
    kvonvif_device& dev_;
    char endpoint_[128];
    bool endpoint_ok_;
};

/* Scratch view of a settings block; the client never touches bytes past offset 268. */
typedef KVNet_NetworkBaseSet_t net_block;

class kvonvif_params_net : public kvonvif_params {
public:
    using kvonvif_params::kvonvif_params;
    bool query_ex(const KVNetQueryParamParamEx* p) override;
    bool set(const KVNetSetParamParam* p) override;

    enum ip_found { ip_none_interface, ip_no_address, ip_ok };
    /* Each returns whether the request succeeded; the response stays in the proxy's
     * context for a change that reuses it. */
    bool query_ip(net_block* b, DeviceBindingProxy& proxy,
                  _tds__GetNetworkInterfacesResponse& resp, ip_found* found);
    bool query_port(net_block* b, DeviceBindingProxy& proxy, _tds__GetNetworkProtocolsResponse& resp);
    bool query_gateway(net_block* b, DeviceBindingProxy& proxy,
                       _tds__GetNetworkDefaultGatewayResponse& resp);
    bool set_gateway(const net_block* b);
    bool set_port(const net_block* b);
    bool set_ip(const net_block* b, bool* reboot);

    /* Set by query_port and query_gateway when the device answered with a value the
     * block cannot hold (an HTTP port outside 1-65535, a gateway that is no IPv4
     * address): the request succeeded, but a query must not report it as a value. */
    bool nonsense = false;
};

} // namespace kvonvif

#endif
