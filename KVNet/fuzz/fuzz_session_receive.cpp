// The session's receive loop and its routing: after an accepted login the input is all
// the device sends: replies, heartbeat answers, alarm reports (890, 891), records of
// asynchronous requests, bodies above the 100 KiB inline area, cut messages. The first
// input byte picks the options (alarm reports, scrambled login, login variant).
#include "fuzz_session.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    const fuzzsession::Options o = fuzzsession::OptionsOf(data[0]);
    std::string stream = fuzzsession::AcceptedLogin();
    stream.append(reinterpret_cast<const char*>(data + 1), size - 1);
    fuzzsession::Run({{stream}}, o);
    return 0;
}
