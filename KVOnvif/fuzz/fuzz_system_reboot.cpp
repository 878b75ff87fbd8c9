// The SystemReboot reply through the generated parser and the client's verdict.
#include "fuzz_support.h"
#include "soapDeviceBindingProxy.h"

KVONVIF_FUZZ_DEVICE_SERVICE()

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzsupport::serve({fuzzsupport::text(data, size)});
    fuzzsupport::net_target t;
    kvonvif::kvonvif_params_net& net = t.net;
    net.reboot_device();
    return 0;
}
