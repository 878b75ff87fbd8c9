// A GetNetworkInterfaces reply (HTTP and SOAP) through the parser and the address lookup.
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
    _tds__GetNetworkInterfacesResponse resp;
    kvonvif::kvonvif_params_net::ip_found found;
    net.query_ip(&b, proxy, resp, &found);
    return 0;
}
