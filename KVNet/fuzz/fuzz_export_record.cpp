// The export of a logged-in session: the device answers the export request on the side
// connection with the input (its Seq set to the request's, as a device answering it
// would), and the record checks decide whether the caller may read it. The record is
// read in full at the size the call hands on.
#include "fuzz_session.h"

namespace {

void OnRecord(void* rec, unsigned size, void* user)
{
    const auto* p = static_cast<const volatile uint8_t*>(rec);
    uint32_t s = 0;
    for (unsigned i = 0; rec && i < size; ++i)
        s += p[i];
    *static_cast<uint32_t*>(user) += s;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    kvtest::ScriptedDevice::Answer login{fuzzsession::AcceptedLogin(), false, false};
    kvtest::ScriptedDevice::Answer side{std::string(reinterpret_cast<const char*>(data), size), true, true};
    fuzzsession::Run({login, side}, fuzzsession::Options{}, [](DevConnection* h) {
        uint32_t sum = 0;
        KVNetExportBackupParam p{&sum, OnRecord};
        KVNetExportBackupNew(h, &p);
    });
    return 0;
}
