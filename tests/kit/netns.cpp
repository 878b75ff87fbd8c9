#include "netns.h"

#include <cstdio>
#include <cstdlib>
#include <sys/wait.h>
#include <unistd.h>

namespace kvtest {

namespace {

std::string Quote(const std::string& s)
{
    std::string q = "'";
    for (char c : s)
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

} // namespace

bool InPrivateNetns()
{
    const std::string cmd = std::string(KV_PYTHON) + " " + KV_TESTS_DIR + "/sim/kvsim/safety.py";
    return Sh(cmd) == 0;
}

const char* NetnsPair()
{
    const char* n = getenv("KVNETNS");
    if (!n || !*n)
        return nullptr;
    static const bool ok = InPrivateNetns();
    if (!ok) {
        fprintf(stderr, "KVNETNS is set but this is the machine's own network namespace\n");
        abort();
    }
    return n;
}

int RunInNetns(const NetnsOptions& o, const std::vector<std::string>& argv, std::string* output)
{
    std::string cmd = Quote(std::string(KV_TESTS_DIR) + "/netns/kvnetns.sh") + " run";
    if (o.secondSubnet)
        cmd += " --second-subnet";
    if (o.apart)
        cmd += " --apart";
    cmd += std::string(" --side ") + o.side + " --";
    for (const std::string& a : argv)
        cmd += " " + Quote(a);
    cmd += " 2>&1";
    FILE* f = popen(cmd.c_str(), "r");
    if (!f)
        return -1;
    char buf[4096];
    size_t n;
    std::string out;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        out.append(buf, n);
    const int rc = pclose(f);
    if (output)
        *output = out;
    const int status = WIFEXITED(rc) ? WEXITSTATUS(rc) : 128;
    // The script's own refusals (no root, no pair) start with its name.
    if (status == 2 && out.rfind("kvnetns:", 0) == 0)
        return -1;
    return status;
}

std::vector<std::string> InNetnsSide(const char* side)
{
    const char* pair = NetnsPair();
    return {"ip", "netns", "exec", std::string(pair ? pair : "") + "-" + side};
}

bool SetNetnsLoss(const char* side, int percent)
{
    const char* pair = NetnsPair();
    return pair && Sh(Quote(std::string(KV_TESTS_DIR) + "/netns/kvnetns.sh") + " loss " + pair + "-" + side + " " +
                      std::to_string(percent)) == 0;
}

int Sh(const std::string& cmd)
{
    const int rc = system((cmd + " >/dev/null 2>&1").c_str());
    return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

std::string SelfExe()
{
    char buf[4096];
    const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

} // namespace kvtest
