// A GetNetworkProtocols reply (HTTP and SOAP) through the parser and the port lookup.
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
    _tds__GetNetworkProtocolsResponse resp;
    net.query_port(&b, proxy, resp);
    // The change path walks the same list and sends it back.
    KVNet_NetworkBaseSet_t n;
    memset(&n, 0, sizeof n);
    n.HttpPort = 9000;
    fuzzsupport::serve({std::string(reinterpret_cast<const char*>(data), size),
                        "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n"});
    net.set_port(&n);
    return 0;
}
