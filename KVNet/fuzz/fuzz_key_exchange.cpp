// The key exchange of a session's login: the device answers the probing login with
// AckFlag 10000, then the input is all it sends: the hello answer (B and salt), the proof
// answer (M2) and what follows, or refusals on the way. The first input byte picks the
// options (alarm reports, scrambled login, login variant).
#include "fuzz_session.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    const fuzzsession::Options o = fuzzsession::OptionsOf(data[0]);
    std::string stream = fuzzsession::Message(31, 0, 10000, "");
    stream.append(reinterpret_cast<const char*>(data + 1), size - 1);
    fuzzsession::Run({{stream}}, o);
    return 0;
}
