// The login reply handling of a session: the first input byte picks the options (alarm
// reports, scrambled login, login variant); the rest is all the device sends on the
// session's connection: the login reply (accepted, refused, forwarded notice, too long,
// not from a device of ours) and whatever follows it.
#include "fuzz_session.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    const fuzzsession::Options o = fuzzsession::OptionsOf(data[0]);
    fuzzsession::Run({{std::string(reinterpret_cast<const char*>(data + 1), size - 1)}}, o);
    return 0;
}
