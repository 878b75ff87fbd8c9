// KVNetInit, KVNetRelease, the encryption switch, the last error and the log set-up.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include <ini.h>

#include "KVNet.h"
#include "kv_globals.h"
#include "kv_lock.h"
#include "kv_log.h"

std::atomic<uint32_t> gMsgSeq{0};
std::atomic<uint8_t> gMsgEncryption{1};
char gTavixP2PPath[260];
unsigned char gP2PServerInfo[520];

extern StaticMutex g_log_mutex;

namespace {

char g_log_config_path[260];

struct IniResult {
    std::string logPath;
    bool switches[kLogSwitchCount] = {};
};

// inih's boolean rule: true/yes/on/1 and false/no/off/0, case-insensitive; else default.
bool parse_bool(const char* v, bool dflt)
{
    static const char* const yes[] = {"true", "yes", "on", "1"};
    static const char* const no[] = {"false", "no", "off", "0"};
    for (const char* y : yes)
        if (strcasecmp(v, y) == 0)
            return true;
    for (const char* n : no)
        if (strcasecmp(v, n) == 0)
            return false;
    return dflt;
}

int on_ini_entry(void* user, const char* section, const char* name, const char* value)
{
    auto* r = static_cast<IniResult*>(user);
    if (strcasecmp(section, "KVNetLogConig") != 0)
        return 1;
    if (strcasecmp(name, "log_path") == 0) {
        r->logPath = value;
        return 1;
    }
    for (int i = 0; i < kLogSwitchCount; ++i)
        if (strcasecmp(name, gLogSwitchNames[i]) == 0)
            r->switches[i] = parse_bool(value, false);
    return 1;
}

bool any_switch_on()
{
    for (LogSwitch* s : gLogSwitches)
        if (s->load())
            return true;
    return false;
}

// Replaces the open log stream; the old one is closed rather than leaked.
void install_log_file(FILE* f)
{
    ScopedLock lock(g_log_mutex);
    FILE* old = gKVNetLogFile.exchange(f);
    if (old)
        fclose(old);
}

} // namespace

void kvnet_set_log_config_path(const char* path)
{
    snprintf(g_log_config_path, sizeof g_log_config_path, "%s", path ? path : "");
}

extern "C" int KVNetInit(void)
{
    memset(gTavixP2PPath, 0, sizeof gTavixP2PPath);
    memset(gP2PServerInfo, 0, sizeof gP2PServerInfo);
    memset(g_log_file_directory, 0, sizeof g_log_file_directory);

    if (g_log_config_path[0] == '\0') {
        if (const char* env = getenv("KVNET_LOG_CONFIG"))
            kvnet_set_log_config_path(env);
    }

    IniResult r;
    // An empty path opens nothing: the reader reports an error and the log stays as it is.
    if (g_log_config_path[0] == '\0' || ini_parse(g_log_config_path, on_ini_entry, &r) != 0)
        return 1;

    for (int i = 0; i < kLogSwitchCount; ++i)
        gLogSwitches[i]->store(r.switches[i] ? 1 : 0);
    if (any_switch_on() && !r.logPath.empty()) {
        if (FILE* f = fopen(r.logPath.c_str(), "a"))
            install_log_file(f);
    }
    return 1;
}

extern "C" void KVNetRelease(void)
{
    install_log_file(nullptr);
}

extern "C" void KVNetSetEncription(unsigned char flag)
{
    gMsgEncryption.store(flag != 0 ? 1 : 0);
}

extern "C" unsigned int KVNetGetLastError(void)
{
    unsigned int e = static_cast<unsigned int>(errno);
    return (e & 0xE1010000u) ? e : 0;
}

extern "C" void KVNetInitLog(const KVNetLogParam* p)
{
    if (!p || gKVNetLogFile.load())
        return;
    char path[sizeof p->szLogPath + 1];
    memcpy(path, p->szLogPath, sizeof p->szLogPath);
    path[sizeof p->szLogPath] = '\0'; // bounded even when the caller forgot the NUL

    const unsigned char* sw = &p->gEnableNetErr;
    for (int i = 0; i < kLogSwitchCount; ++i)
        gLogSwitches[i]->store(sw[i] != 0 ? 1 : 0);

    if (any_switch_on() && path[0] != '\0') {
        if (FILE* f = fopen(path, "a"))
            install_log_file(f);
    }
    if (p->szLogDirectory)
        snprintf(g_log_file_directory, sizeof g_log_file_directory, "%s", p->szLogDirectory);
}
