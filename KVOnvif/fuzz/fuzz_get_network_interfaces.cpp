// A GetNetworkInterfaces reply (HTTP and SOAP) through the parser and the address lookup.
#include "fuzz_support.h"
#include "soapDeviceBindingProxy.h"

KVONVIF_FUZZ_DEVICE_SERVICE()

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzsupport::serve({fuzzsupport::text(data, size)});
    fuzzsupport::net_target t;
    kvonvif::kvonvif_params_net& net = t.net;
    KVNet_NetworkBaseSet_t b = fuzzsupport::empty_block();
    DeviceBindingProxy proxy;
    _tds__GetNetworkInterfacesResponse resp;
    kvonvif::kvonvif_params_net::ip_found found;
    net.query_ip(&b, proxy, resp, &found);
    return 0;
}
