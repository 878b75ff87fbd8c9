// A GetNetworkProtocols reply (HTTP and SOAP) through the parser and the port lookup.
#include "fuzz_support.h"
#include "soapDeviceBindingProxy.h"

KVONVIF_FUZZ_DEVICE_SERVICE()

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzsupport::serve({fuzzsupport::text(data, size)});
    fuzzsupport::net_target t;
    kvonvif::kvonvif_params_net& net = t.net;
    KVNet_NetworkBaseSet_t b = fuzzsupport::empty_block();
    DeviceBindingProxy proxy;
    _tds__GetNetworkProtocolsResponse resp;
    net.query_port(&b, proxy, resp);
    // The change path walks the same list and sends it back.
    KVNet_NetworkBaseSet_t n = fuzzsupport::empty_block();
    n.HttpPort = 9000;
    fuzzsupport::serve({fuzzsupport::text(data, size),
                        "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n"});
    net.set_port(&n);
    return 0;
}
