// A SetNetworkInterfaces reply after a valid interface query: the parser of the reply
// and its RebootNeeded flag. The first byte picks the change (so the input also drives
// which request is built); the reply is the rest, so a reply may start with any byte.
#include "fuzz_support.h"
#include "soapDeviceBindingProxy.h"

static const char kInterfaces[] =
    "<?xml version=\"1.0\"?><env:Envelope xmlns:env=\"http://www.w3.org/2003/05/soap-envelope\" "
    "xmlns:tds=\"http://www.onvif.org/ver10/device/wsdl\" xmlns:tt=\"http://www.onvif.org/ver10/schema\">"
    "<env:Body><tds:GetNetworkInterfacesResponse><tds:NetworkInterfaces token=\"eth0\">"
    "<tt:Enabled>true</tt:Enabled><tt:Info><tt:MTU>1400</tt:MTU></tt:Info><tt:IPv4><tt:Enabled>true</tt:Enabled>"
    "<tt:Config><tt:Manual><tt:Address>198.51.100.20</tt:Address><tt:PrefixLength>24</tt:PrefixLength>"
    "</tt:Manual><tt:DHCP>false</tt:DHCP></tt:Config></tt:IPv4></tds:NetworkInterfaces>"
    "</tds:GetNetworkInterfacesResponse></env:Body></env:Envelope>";

KVONVIF_FUZZ_DEVICE_SERVICE()

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const uint8_t pick = data[0];
    ++data;
    --size;
    std::string first = std::string("HTTP/1.1 200 OK\r\nContent-Type: application/soap+xml\r\nContent-Length: ") +
                        std::to_string(sizeof kInterfaces - 1) + "\r\n\r\n" + kInterfaces;
    fuzzsupport::serve({first, fuzzsupport::text(data, size)});
    fuzzsupport::net_target t;
    kvonvif::kvonvif_params_net& net = t.net;
    KVNet_NetworkBaseSet_t n = fuzzsupport::empty_block();
    n.AddrMode = (pick & 1) ? 0 : 2;
    n.IPAddr[0] = (pick & 2) ? 198 : 0; n.IPAddr[1] = 51; n.IPAddr[2] = 100; n.IPAddr[3] = 30;
    n.NetMask[0] = (pick & 4) ? 255 : 0; n.NetMask[1] = 255; n.NetMask[2] = (uint8_t)(pick & 0xF0); 
    bool reboot = false;
    net.set_ip(&n, &reboot);
    return 0;
}
