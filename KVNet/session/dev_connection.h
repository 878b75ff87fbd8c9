// One device session: the long-lived logical connection of the client to one device. Its
// connection task (on the client's task pool) resolves the address, opens the main TCP
// connection, logs in, keeps the session alive with heartbeats, hands every received
// message to its consumer and, when the connection breaks, cleans up and starts a new
// round. Other parts of the client read its state (logged in, login reply, session id,
// address, security) and send on the main connection through it.
//
// Threads and locks:
//  - codes and data events are delivered only on the connection task, through one gate
//    (m_cbMutex) that Stop closes: once Stop has begun no callback starts;
//  - m_sendMutex serialises every send on the main connection and its closing; no
//    callback runs while it is held;
//  - m_sockMutex guards the lifetime of the main descriptor, so that Stop may shut it
//    down from another thread without ever touching a descriptor the task has closed
//    (and another session may have reused). Lock order: send mutex, then socket mutex;
//  - m_addrMutex guards the address and port (KVNetSetIPAndPort vs. the next connect);
//  - m_loginRspMutex guards the stored login reply;
//  - m_streamMutex guards the list of attached streams; their notices run under it, so a
//    stream that detaches waits for a notice in progress.
//
// Split of work: the session handles heartbeat answers and alarm reports itself and hands
// every other message to its request layer (a kvsession::ReplyRouter attached before
// Start); the login exchange itself is the login handshake's (login/). The layers above
// see the session only as a kvsession::Link.
#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <pthread.h>
#include <string>
#include <vector>

#include "KVNetTypes.h"
#include "kv_lock.h"
#include "msg_channel.h"
#include "session_link.h"
#include "msg_types.h"
#include "sync_event.h"

struct _P2P_INFO_;
struct _P2P_REQUEST_INFO_;

// Periods and limits of the connection task. Defaults are the protocol's; tests shorten
// them through kvnet_set_session_timings(); each session reads them when it starts.
struct KVSessionTimings {
    unsigned heartbeatMs = 5000;       // heartbeat period and longest receive wait
    unsigned heartbeatLimit = 4;       // heartbeats without an answer before giving up
    unsigned retryMs = 1000;           // pause after a failed connect or login
    unsigned resolveRetryMs = 5000;    // pause after a failed resolution
    unsigned connectMs = 5000;         // TCP connect limit
    unsigned sendTimeoutMs = 5000;     // SO_SNDTIMEO of the main connection
    unsigned recvTimeoutMs = 15000;    // SO_RCVTIMEO of the main connection
    unsigned lookupConnectMs = 5000;   // connect limit of an address lookup
    unsigned lookupSendMs = 5000;      // send limit of an address lookup
    unsigned lookupRecvMs = 15000;     // longest wait for a lookup's reply
    unsigned tunnelWaitMs = 15000;     // longest wait for a tunnel's answer
    // A message being received counts as silence until it is complete: its head must
    // arrive by the time a silent device would be given up, and its body may take its
    // announced size at this rate on top. A device dripping one message is dropped and
    // reconnected like a silent one instead of holding the session "connected".
    unsigned floorBytesPerSec = 64 * 1024;
};
void kvnet_set_session_timings(const KVSessionTimings& t);
KVSessionTimings kvnet_get_session_timings();

// Messages the session handles itself; every other one goes to its request layer.
constexpr uint16_t kTypeHeartbeat = 32;
constexpr uint16_t kTypeHeartbeatAnswer = 83;
constexpr uint16_t kTypeAlarmReport = 890;
constexpr uint16_t kTypeAlarmReportEx = 891;

// The one-shot modes: a session that sends one message instead of logging in.
enum KVOneShotMode : uint32_t { kOneShotNone = 0, kOneShotPushParam = 1, kOneShotSavePassword = 2 };

class DevConnection final : public kvsession::Link {
public:
    // One live stream of the session (media layer).
    class DevPreview;

    static constexpr size_t kLoginRspMax = 3280;
    static constexpr int kLoginRspDefaultLen = 1232;
    static constexpr size_t kSessionIdOffset = 160;

    DevConnection();
    ~DevConnection();
    DevConnection(const DevConnection&) = delete;
    DevConnection& operator=(const DevConnection&) = delete;

    // --- Life cycle (flat interface) ---
    // Copies the request (unless restarting) and queues the connection task.
    bool Start(const KVNetConnectionParam* param, bool restart);
    // Prompt in every state; waits for the connection task to end. Never from a callback.
    void Stop();
    // KVNetResetConnection: Stop, reset the events, start again from the saved request.
    bool Restart();
    // KVNetSetIPAndPort: used from the next connection attempt on.
    void SetIPAndPort(const char* address, uint16_t port);
    // One-shot sessions (push parameters, save password): mode and payload before Start.
    void SetOneShot(uint32_t mode, const void* payload, uint32_t len);

    // --- The session as the layers above see it (kvsession::Link) ---
    bool SendOnMain(const MsgHeadWrap& head, const void* body) override;
    bool IsLoggedIn() override { return m_loggedInEvent.Wait(0); }
    uint32_t SessionId() override;
    uint8_t HeadSecurityBits() override { return m_headSecurity.load(); }
    bool PeerAddress(std::string* host, uint16_t* port) override;
    int MainMode() override { return m_mainMode.load(); }
    kvlogin::Credentials SideCredentials() override { return {m_user, m_password}; }
    bool OnConnectionTask() override;

    // --- Attachments ---
    // The request layer: attached once, before the first Start; freed with the session.
    void AttachRequests(std::unique_ptr<kvsession::ReplyRouter> requests);
    kvsession::ReplyRouter* Requests() const { return m_requests.get(); }
    // A live stream: attached while it runs, detached before it goes (any thread). Its
    // notices come on the connection task (ConnectionLost) and from the destructor.
    // False once EndStreams has begun (the stream must not start).
    bool AttachStream(kvsession::StreamAttachment* stream);
    void DetachStream(kvsession::StreamAttachment* stream);
    // KVNetConnectionStop, before the session stops: every attached stream is detached and
    // told SessionStopping, one after the other, outside the stream lock. A DetachStream
    // meanwhile waits only while its own stream is being ended (a callback of the stream
    // being ended may stop another one). False, with nothing done, on a thread of one of
    // the session's streams.
    bool EndStreams();
    // A media object's code for a caller without a message callback of its own: to the
    // session's message callback with the caller's user pointer, unless the session's
    // stop has begun.
    void DeliverMediaCode(unsigned code, void* user);
    // True from the start of EndStreams on: media starts are refused.
    bool StreamsEnding() const { return m_streamsEnding.load(); }

    // --- Session state ---
    // The logged-in event: set exactly while logged in. Wait(0) polls it.
    SyncEvent& LoggedInEvent() { return m_loggedInEvent; }
    // Address and port of the live main connection (side connections connect there);
    // before the first connection, the ones the next attempt will use.
    void GetAddress(std::string* address, uint16_t* port);
    bool Stopping() { return m_stopEvent.Wait(0); }
    // The stored login reply (device information block).
    int GetDevInfo(void* dst, int len);
    int GetDevInfoEx(void* dst, int len);
    bool AlarmSubscribe(int on);
    // Tests: waits up to ms for the connection task to end; resolutions run so far.
    bool WaitTaskEnded(unsigned ms) { return m_threadEnded.Wait(ms); }
    unsigned ResolveCount() const { return m_resolveCount.load(); }

    // --- Address resolution by login type ---
    // One of the directory service's host names (exact, case-sensitive); false for
    // null or an empty text.
    static bool IsBmspHost(const char* host);
    // The tunnel's answer: stored only while the session awaits it, once.
    static void P2PTunnelCallbackFunc(uint16_t localPort, _P2P_INFO_* info);
    // The tunnel request on the tunnel of the session's login type; 0 when the type has
    // no tunnel or the tunnel refuses.
    int64_t StartP2PTunnel(_P2P_REQUEST_INFO_* request);
    // Stops a request on the tunnel of that login type; nothing when it has none.
    static void StopP2PTunnel(int loginType, int64_t handle);

private:
    // Every code goes through here: delivered only while the stop event is not set.
    void DeliverCode(unsigned code);

    static void* ConnectionFun(void* arg);
    void Run();
    bool ResolveAddress();
    bool ResolveIdServer();
    bool ResolveDirectory();
    bool ResolveRedirect();
    bool ResolveTunnel();
    // One lookup on the main connection object (so Stop breaks it): connect, send the
    // request, receive until complete(), the peer closes or the buffer is full; the
    // socket is closed before it returns. False on any failure before the reply.
    bool Lookup(const std::string& host, uint16_t port, const std::string& request,
                bool (*complete)(const char*, size_t), std::string* reply);
    // Creates the main socket for addr:port with its time-outs and connects it, the wait
    // ending at once when Stop begins.
    bool OpenMain(const std::string& addr, uint16_t port, unsigned connectMs, unsigned sendMs, unsigned recvMs);
    void SetResolved(const std::string& addr, uint16_t port);
    bool Connect();
    bool Login();
    bool SendParamToDevice();
    void SessionLoop();
    void Dispatch(MsgBuf& msg);
    void OnAlarmReport(const MsgBuf& msg, uint32_t typeOverride);
    void OnDisconnect();
    void DeliverData(unsigned type, const void* data, unsigned size);
    void CloseMain();           // under the send mutex
    bool WaitStop(unsigned ms); // true when the stop event was set
    void LogCode(unsigned code);
    std::string Describe();

    std::atomic<uint8_t> m_headSecurity{0};
    uint8_t m_probe = 1;
    Mutex m_addrMutex;
    std::string m_address;
    uint16_t m_port = 0;
    std::string m_liveAddress; // what the current main connection went to
    uint16_t m_livePort = 0;
    bool m_live = false;
    // The tunnel answer: awaiting flag, answered flag, port and path flag under one
    // mutex, so a late callback cannot change the port once the step has decided.
    Mutex m_tunnelMutex;
    uint8_t m_tunnelPath = 0;
    uint8_t m_awaitingTunnel = 0;
    uint8_t m_tunnelAnswered = 0;
    uint16_t m_tunnelPort = 0;
    std::string m_user, m_password;
    std::atomic<uint8_t> m_loggedIn{0};
    uint16_t m_loginFlag = 0;
    uint64_t m_reserved64 = 0;
    uint32_t m_reserved32 = 0;
    void* m_userPtr = nullptr;
    std::atomic<uint8_t> m_autoReconnect{0};
    KVNetMsgCallback m_msgCb = nullptr;
    KVNetDataCallback m_dataCb = nullptr;
    std::atomic<uint8_t> m_alarmWanted{0};
    Mutex m_loginRspMutex;
    uint8_t m_loginRsp[kLoginRspMax];
    int m_loginRspLen = kLoginRspDefaultLen;
    KVMsgChannel m_main;
    std::atomic<int> m_mainMode{kModePlain};
    Mutex m_sendMutex;
    Mutex m_sockMutex;
    SyncEvent m_loggedInEvent{true, false};
    std::unique_ptr<kvsession::ReplyRouter> m_requests;
    Mutex m_streamMutex;
    std::vector<kvsession::StreamAttachment*> m_streams;
    std::atomic<bool> m_streamsEnding{false};
    kvsession::StreamAttachment* m_ending = nullptr; // being ended by EndStreams (stream lock)
    std::condition_variable_any m_endedOne;            // m_ending changed
    SyncEvent m_threadEnded{true, false};
    SyncEvent m_stopEvent{true, false};
    std::string m_devId;
    std::string m_idServer;
    int32_t m_loginType = 0;
    uint16_t m_devPort = 0;
    // The running tunnel request, stopped exactly once: by the next resolution, a failed
    // wait, or Stop, whichever takes it out first.
    std::atomic<int64_t> m_tunnel{0};
    SyncEvent m_tunnelEvent{false, false};
    std::atomic<uint8_t> m_stopping{0};
    int32_t m_loginVariant = 0;
    uint8_t m_retryWait = 0;
    std::vector<uint8_t> m_oneShot;
    uint32_t m_oneShotMode = kOneShotNone;
    KVNetConnectionParam m_saved{};
    std::string m_savedAddr, m_savedUser, m_savedPwd, m_savedIdServer;

    // The gate of every callback: Stop takes it to set the stop event, so no callback
    // starts after Stop has begun and Stop waits for one that is running.
    Mutex m_cbMutex;
    // Wakes the connection task's waits (connect, receive) at once: readable once Stop
    // has begun, drained by Start.
    int m_wakeFd = -1;
    std::atomic<pthread_t> m_taskThread{};
    std::atomic<bool> m_taskRunning{false};
    KVSessionTimings m_timings;
    std::atomic<unsigned> m_resolveCount{0};
    // The connection task's receive buffer (100 KiB inline), kept for the task's life.
    std::unique_ptr<MsgBuf> m_rx;
};
