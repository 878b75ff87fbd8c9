// A GetNetworkDefaultGateway reply (HTTP and SOAP) through the parser and the lookup.
#include "fuzz_support.h"
#include "soapDeviceBindingProxy.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzzsupport::install();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzsupport::serve({std::string(reinterpret_cast<const char*>(data), size)});
    kvonvif::kvonvif_device dev;
    dev.addr = "127.0.0.1";
    dev.port = 80;
    kvonvif::kvonvif_params_net net(dev);
    KVNet_NetworkBaseSet_t b;
    memset(&b, 0, sizeof b);
    DeviceBindingProxy proxy;
    _tds__GetNetworkDefaultGatewayResponse resp;
    net.query_gateway(&b, proxy, resp);
    KVNet_NetworkBaseSet_t n;
    memset(&n, 0, sizeof n);
    n.Gateway[0] = 198; n.Gateway[1] = 51; n.Gateway[2] = 100; n.Gateway[3] = 254;
    fuzzsupport::serve({std::string(reinterpret_cast<const char*>(data), size),
                        "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n"});
    net.set_gateway(&n);
    return 0;
}
