// The client's log: one file, thirteen per-area switches, one line writer.
#pragma once
#include <atomic>
#include <cstdint>
#include <cstdio>

// The open log file, or null when logging is off. Atomic so that a site may test it
// while KVNetRelease closes the stream under the log mutex.
extern std::atomic<FILE*> gKVNetLogFile;

using LogSwitch = std::atomic<uint8_t>;
extern LogSwitch gEnableNetErr;
extern LogSwitch gEnableBroadcastStatus;
extern LogSwitch gEnableConnStatus;
extern LogSwitch gEnableLoginStatus;
extern LogSwitch gEnableMsgStatus;
extern LogSwitch gEnablePreviewStatus;
extern LogSwitch gEnableFrameData;
extern LogSwitch gEnableRecordPlayStatus;
extern LogSwitch gEnableDualtalkStatus;
extern LogSwitch gEnableDownloadRecordStatus;
extern LogSwitch gEnableRemoteUpgradeStatus;
extern LogSwitch gEnableRemoteParamImportStatus;
extern LogSwitch gEnableP2PStatus;

// The switches in their fixed order (KVNetLogParam, INI keys).
constexpr int kLogSwitchCount = 13;
extern LogSwitch* const gLogSwitches[kLogSwitchCount];
extern const char* const gLogSwitchNames[kLogSwitchCount];

extern char g_log_file_directory[260];

// Writes one line: "[YYYY-MM-DD hh:mm:ss] " + text, at most 1023 bytes, newline-terminated.
void net_log_printf(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// Log only when a file is open and the area's switch is on.
#define KV_LOG(area, ...)                                              \
    do {                                                               \
        if (gKVNetLogFile.load(std::memory_order_relaxed) && (area))   \
            net_log_printf(__VA_ARGS__);                               \
    } while (0)

// Formats one line into out (1024 bytes, zeroed by the call) and returns its length.
// Split from net_log_printf so the line rules can be tested without a file.
size_t kvnet_format_log_line(char out[1024], const char* fmt, va_list ap);

// The INI path read by KVNetInit; empty by default (log off). Tests and
// the KVNET_LOG_CONFIG environment variable set it.
void kvnet_set_log_config_path(const char* path);
