// The SystemReboot reply through the generated parser and the client's verdict.
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
    net.reboot_device();
    return 0;
}
