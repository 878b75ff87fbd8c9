// The replies to the changes of the network block: SetNetworkDefaultGateway and
// SetNetworkProtocols after valid queries, and the SystemReboot that a change needing a
// reboot sends. The first byte picks the change; the rest is the reply to it.
#include "fuzz_support.h"
#include "soapDeviceBindingProxy.h"

namespace {

std::string Http(const std::string& body) {
    return "HTTP/1.1 200 OK\r\nContent-Type: application/soap+xml\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\n\r\n" + body;
}

const std::string kHead =
    "<?xml version=\"1.0\"?><env:Envelope xmlns:env=\"http://www.w3.org/2003/05/soap-envelope\" "
    "xmlns:tds=\"http://www.onvif.org/ver10/device/wsdl\" xmlns:tt=\"http://www.onvif.org/ver10/schema\"><env:Body>";
const std::string kTail = "</env:Body></env:Envelope>";

const std::string& Gateway() {
    static const std::string r = Http(kHead +
        "<tds:GetNetworkDefaultGatewayResponse><tds:NetworkGateway><tt:IPv4Address>198.51.100.1</tt:IPv4Address>"
        "</tds:NetworkGateway></tds:GetNetworkDefaultGatewayResponse>" + kTail);
    return r;
}
const std::string& Protocols() {
    static const std::string r = Http(kHead +
        "<tds:GetNetworkProtocolsResponse><tds:NetworkProtocols><tt:Name>HTTP</tt:Name><tt:Enabled>true</tt:Enabled>"
        "<tt:Port>80</tt:Port></tds:NetworkProtocols></tds:GetNetworkProtocolsResponse>" + kTail);
    return r;
}
const std::string& Interfaces() {
    static const std::string r = Http(kHead +
        "<tds:GetNetworkInterfacesResponse><tds:NetworkInterfaces token=\"eth0\"><tt:Enabled>true</tt:Enabled>"
        "<tt:IPv4><tt:Enabled>true</tt:Enabled><tt:Config><tt:Manual><tt:Address>198.51.100.20</tt:Address>"
        "<tt:PrefixLength>24</tt:PrefixLength></tt:Manual><tt:DHCP>false</tt:DHCP></tt:Config></tt:IPv4>"
        "</tds:NetworkInterfaces></tds:GetNetworkInterfacesResponse>" + kTail);
    return r;
}
const std::string& RebootNeeded() {
    static const std::string r = Http(kHead +
        "<tds:SetNetworkInterfacesResponse><tds:RebootNeeded>true</tds:RebootNeeded>"
        "</tds:SetNetworkInterfacesResponse>" + kTail);
    return r;
}

} // namespace

KVONVIF_FUZZ_DEVICE_SERVICE()

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const uint8_t pick = data[0] % 3;
    const std::string reply(reinterpret_cast<const char*>(data + 1), size - 1);
    fuzzsupport::net_target t;
    kvonvif::kvonvif_params_net& net = t.net;
    KVNet_NetworkBaseSet_t n = fuzzsupport::empty_block();
    if (pick == 0) {
        n.Gateway[0] = 198; n.Gateway[1] = 51; n.Gateway[2] = 100; n.Gateway[3] = 254;
        fuzzsupport::serve({Gateway(), reply});
        net.set_gateway(&n);
    } else if (pick == 1) {
        n.HttpPort = 8080;
        fuzzsupport::serve({Protocols(), reply});
        net.set_port(&n);
    } else {
        // A whole change: gateway and port as they are, a new address that needs a
        // reboot, and the reply to the reboot.
        n.AddrMode = 2;
        n.IPAddr[0] = 198; n.IPAddr[1] = 51; n.IPAddr[2] = 100; n.IPAddr[3] = 30;
        n.NetMask[0] = 255; n.NetMask[1] = 255; n.NetMask[2] = 255;
        fuzzsupport::serve({Interfaces(), RebootNeeded(), reply});
        KVNetSetParamParam p;
        memset(&p, 0, sizeof p);
        p.nParamType = 511;
        p.pStruct = &n;
        net.set(&p);
    }
    return 0;
}
