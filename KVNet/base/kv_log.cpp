#include "kv_log.h"

#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <ctime>

#include "kv_lock.h"

std::atomic<FILE*> gKVNetLogFile{nullptr};

LogSwitch gEnableNetErr{0};
LogSwitch gEnableBroadcastStatus{0};
LogSwitch gEnableConnStatus{0};
LogSwitch gEnableLoginStatus{0};
LogSwitch gEnableMsgStatus{0};
LogSwitch gEnablePreviewStatus{0};
LogSwitch gEnableFrameData{0};
LogSwitch gEnableRecordPlayStatus{0};
LogSwitch gEnableDualtalkStatus{0};
LogSwitch gEnableDownloadRecordStatus{0};
LogSwitch gEnableRemoteUpgradeStatus{0};
LogSwitch gEnableRemoteParamImportStatus{0};
LogSwitch gEnableP2PStatus{0};

LogSwitch* const gLogSwitches[kLogSwitchCount] = {
    &gEnableNetErr,           &gEnableBroadcastStatus,      &gEnableConnStatus,
    &gEnableLoginStatus,      &gEnableMsgStatus,            &gEnablePreviewStatus,
    &gEnableFrameData,        &gEnableRecordPlayStatus,     &gEnableDualtalkStatus,
    &gEnableDownloadRecordStatus, &gEnableRemoteUpgradeStatus,
    &gEnableRemoteParamImportStatus, &gEnableP2PStatus,
};

const char* const gLogSwitchNames[kLogSwitchCount] = {
    "gEnableNetErr",           "gEnableBroadcastStatus",      "gEnableConnStatus",
    "gEnableLoginStatus",      "gEnableMsgStatus",            "gEnablePreviewStatus",
    "gEnableFrameData",        "gEnableRecordPlayStatus",     "gEnableDualtalkStatus",
    "gEnableDownloadRecordStatus", "gEnableRemoteUpgradeStatus",
    "gEnableRemoteParamImportStatus", "gEnableP2PStatus",
};

char g_log_file_directory[260];

// Leaf lock: code holding it takes no other lock.
StaticMutex g_log_mutex;

namespace {
constexpr size_t kLineBuf = 1024;
}

size_t kvnet_format_log_line(char out[1024], const char* fmt, va_list ap)
{
    memset(out, 0, kLineBuf);
    time_t now = time(nullptr);
    struct tm tmv;
    localtime_r(&now, &tmv);
    int prefix = snprintf(out, kLineBuf, "[%04d-%02d-%02d %02d:%02d:%02d] ", tmv.tm_year + 1900,
                          tmv.tm_mon + 1, tmv.tm_mday, tmv.tm_hour, tmv.tm_min, tmv.tm_sec);
    if (prefix < 0 || static_cast<size_t>(prefix) >= kLineBuf)
        prefix = 0;
    size_t room = kLineBuf - static_cast<size_t>(prefix);
    int n = vsnprintf(out + prefix, room, fmt, ap);

    size_t len;
    if (n < 0 || static_cast<size_t>(n) >= room || static_cast<size_t>(prefix + n) == kLineBuf - 1) {
        // Cut (or exactly full): the last byte of a 1023-byte line becomes the newline.
        out[kLineBuf - 2] = '\n';
        out[kLineBuf - 1] = '\0';
        len = kLineBuf - 1;
    } else {
        len = static_cast<size_t>(prefix + n);
        if (len == 0 || out[len - 1] != '\n')
            out[len++] = '\n';
    }
    return len;
}

void net_log_printf(const char* fmt, ...)
{
    // Callers log a failure and then act on its errno: writing the line must not change it.
    struct KeepErrno {
        int saved = errno;
        ~KeepErrno() { errno = saved; }
    } keep;
    char line[kLineBuf];
    va_list ap;
    va_start(ap, fmt);
    size_t len = kvnet_format_log_line(line, fmt, ap);
    va_end(ap);

    if (!gKVNetLogFile.load())
        return;
    ScopedLock lock(g_log_mutex);
    // Tested again under the mutex: KVNetRelease may have closed the stream meanwhile.
    FILE* f = gKVNetLogFile.load();
    if (!f)
        return;
    fwrite(line, 1, len, f);
    fflush(f);
}
