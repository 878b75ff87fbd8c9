// The firmware upgrade task: one object per upgrade, behind the handle of the flat
// interface. It runs on the client's task pool, opens its own connection to the session's
// device, sends the file and relays the device's verdict and flash progress.
//
// Threads: the task runs the upgrade and makes every callback; Stop runs on the caller's
// thread. m_mutex covers the socket's creation (with the stop and logged-in checks) and
// Stop's flag and shutdown, so a stop either prevents the connection or breaks it.
#pragma once
#include <atomic>
#include <cstdint>
#include <memory>
#include <pthread.h>
#include <string>
#include <vector>

#include "kv_file.h"
#include "kv_lock.h"
#include "msg_channel.h"
#include "session_link.h"
#include "kvnet/KVNetUpgrade.h"
#include "sync_event.h"
#include "upgrade_proto.h"

// Time limits of an upgrade. Defaults are the protocol's; tests shorten them before they
// start upgrades.
struct KVUpgradeTimings {
    unsigned connectMs = 15000;
    unsigned startSendMs = 15000;     // send and receive limits of the start exchange
    unsigned startRecvMs = 15000;
    unsigned plainRecvMs = 35000;     // type 7: the device checks the file before it answers
    unsigned dataSendMs = 30000;
    unsigned closeRecvMs = 30000;     // closing reply and each flash progress message
    unsigned progressMs = 300;        // least time between two percentage reports
};
KVUpgradeTimings& kvnet_upgrade_timings();

struct KVUpgradeRequest {
    std::string path;
    KVNetRemoteUpgradeCallback callback = nullptr;
    void* user = nullptr;
    uint32_t type = 0;
    uint32_t mask = 0;
    uint32_t masks[8] = {};
    uint32_t pauseMs = 0;
};

class DevRemoteUpgrade {
public:
    // The upgrade of a session it does not own: the flat interface's callers keep the
    // session until they stop the upgrade.
    DevRemoteUpgrade(kvsession::Link& session, const KVUpgradeRequest& req);
    // The upgrade owns its link (tests and tools bind one to a device directly).
    DevRemoteUpgrade(std::unique_ptr<kvsession::Link> session, const KVUpgradeRequest& req);
    ~DevRemoteUpgrade();
    DevRemoteUpgrade(const DevRemoteUpgrade&) = delete;
    DevRemoteUpgrade& operator=(const DevRemoteUpgrade&) = delete;

    // Queues the task; false when the pool refused it (the object is then the caller's).
    bool Start();
    // Stops and frees: waits for the task unless called on the task's own thread (from a
    // callback), where the task frees the object as it ends.
    static void StopAndFree(DevRemoteUpgrade** handle);

private:
    static void* TransFun(void* arg);
    void Run();
    // Opens the image and notes its identity; part files also get their head and part
    // table read. False (reported) when it cannot be read.
    bool OpenImage();
    // True while the file is the one opened and validated (size, time, inode).
    bool ImageUnchanged();
    // The CRC check value of a part file, read through the window in one pass.
    bool StreamCheckValue(uint32_t* value);
    // Reads exactly n bytes at off into dst.
    bool ReadAt(uint64_t off, uint8_t* dst, size_t n);
    void PartUpgrade(uint16_t msgType);
    void MultiUpgrade();
    void PlainUpgrade();

    // Steps shared by the types: connect and exchange the start request. False after
    // the failure was reported (or silently when stopped).
    bool Connect();
    bool StartExchange(uint16_t msgType, const std::vector<uint8_t>& body, unsigned recvMs);
    // Sends data pieces; false after a failed send (390 reported) or a stop.
    bool SendData(uint64_t offset, uint64_t len);
    // Sends 763 (part types) and 762 and receives the 762 reply into m_msg.
    bool CloseExchange(uint16_t msgType, bool withEnd);
    bool CloseAndCheck(uint16_t msgType, bool withEnd);
    void FlashPhase();
    void MultiProgressPhase();

    void Report(unsigned code, uintptr_t param = 0);
    void ReportPtr(unsigned code, const void* param);
    bool Stopped() const { return m_stop.load(); }
    void SetTimeouts(unsigned sendMs, unsigned recvMs);
    // Logs why a receive in a waiting phase failed: a silent device or a closed one.
    void LogRecvEnd(const char* phase);
    bool CheckReply(uint16_t msgType, uint16_t subType, uint32_t seq);

    std::unique_ptr<kvsession::Link> m_owned;
    kvsession::Link* m_session;
    std::string m_path;
    KVNetRemoteUpgradeCallback m_callback;
    void* m_user;
    kvupg::ChannelMask m_masks;
    std::atomic<bool> m_stop{false};
    SyncEvent m_ended{true, false};
    SyncEvent m_stopEvent{true, false}; // wakes the pause between pieces
    Mutex m_mutex;
    KVMsgChannel m_sock;
    CKVFile m_file;
    uint32_t m_counter = 0;
    kvupg::ProgressThrottle m_progress;
    uint32_t m_crc = 0;
    uint32_t m_type;
    uint32_t m_pauseMs;
    // The image is not held in memory: it is read through a window of kSlots pieces,
    // reused for every batch, after a check that the file has not changed since it was
    // validated. Part files keep their head and part table (the start request's body).
    int m_fd = -1;
    uint64_t m_ino = 0, m_dev = 0, m_mtimeNs = 0;
    std::vector<uint8_t> m_head;
    std::unique_ptr<uint8_t[]> m_window;
    uint64_t m_size = 0;
    uint16_t m_msgType = 0;
    std::vector<kvupg::Part> m_parts;
    std::unique_ptr<MsgBuf> m_msg;
    // The heads of the slots of one send: with pause 0 up to kSlots [head | piece] pairs
    // go out in one writev, each piece read straight from the image behind its head.
    static constexpr size_t kSlots = 16;
    MsgHeadWrap m_heads[kSlots];
    std::string m_host;
    uint16_t m_port = 0;
    KVUpgradeTimings m_t;

    std::atomic<pthread_t> m_thread{};
    std::atomic<bool> m_running{false};
    bool m_selfFree = false; // written and read on the task thread only
};
