// A GetNetworkDefaultGateway reply (HTTP and SOAP) through the parser and the lookup.
#include "fuzz_support.h"
#include "soapDeviceBindingProxy.h"

KVONVIF_FUZZ_DEVICE_SERVICE()

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzsupport::serve({fuzzsupport::text(data, size)});
    fuzzsupport::net_target t;
    kvonvif::kvonvif_params_net& net = t.net;
    KVNet_NetworkBaseSet_t b = fuzzsupport::empty_block();
    DeviceBindingProxy proxy;
    _tds__GetNetworkDefaultGatewayResponse resp;
    net.query_gateway(&b, proxy, resp);
    KVNet_NetworkBaseSet_t n = fuzzsupport::empty_block();
    n.Gateway[0] = 198; n.Gateway[1] = 51; n.Gateway[2] = 100; n.Gateway[3] = 254;
    fuzzsupport::serve({fuzzsupport::text(data, size),
                        "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n"});
    net.set_gateway(&n);
    return 0;
}
