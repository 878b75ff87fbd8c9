#include "dev_connection.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include "kv_globals.h"
#include "kv_log.h"
#include "kvnet/KVNetSession.h"
#include "p2p_tunnel.h"
#include "resolve_config.h"
#include "resolve_wire.h"
#include "session_codes.h"
#include "task_pool.h"
#include "tunnel_select.h"

namespace {

StaticMutex gTimingsMutex;
KVSessionTimings gTimings;

uint64_t now_ms()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

} // namespace

void kvnet_set_session_timings(const KVSessionTimings& t)
{
    ScopedLock l(gTimingsMutex);
    gTimings = t;
}

KVSessionTimings kvnet_get_session_timings()
{
    ScopedLock l(gTimingsMutex);
    return gTimings;
}

DevConnection::DevConnection()
{
    memset(m_loginRsp, 0, sizeof m_loginRsp);
    m_wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

DevConnection::~DevConnection()
{
    Stop();
    {
        // A stream still attached must not reach the session once it is gone.
        ScopedLock l(m_streamMutex);
        for (kvsession::StreamAttachment* a : m_streams)
            a->SessionFreed();
        m_streams.clear();
    }
    m_requests.reset();
    if (m_wakeFd >= 0)
        close(m_wakeFd);
}

std::string DevConnection::Describe()
{
    if (!m_devId.empty())
        return m_devId;
    ScopedLock l(m_addrMutex);
    return m_address;
}

void DevConnection::LogCode(unsigned code)
{
    const bool conn = code <= KVNetMsgConnectStop;
    if (conn ? gEnableConnStatus.load() : gEnableLoginStatus.load()) {
        const std::string who = Describe();
        KV_LOG(1, "dev(%s,%u) autoreconnect=%d %s\n", who.c_str(), m_devPort, m_autoReconnect.load(),
               kv_session_code_name(code));
    }
}

void DevConnection::DeliverCode(unsigned code)
{
    LogCode(code);
    ScopedLock g(m_cbMutex);
    if (m_msgCb && !m_stopEvent.Wait(0))
        m_msgCb(code, m_userPtr);
}

void DevConnection::DeliverData(unsigned type, const void* data, unsigned size)
{
    ScopedLock g(m_cbMutex);
    if (m_dataCb && !m_stopEvent.Wait(0))
        m_dataCb(type, data, size, m_userPtr);
}

bool DevConnection::OnConnectionTask()
{
    return m_taskRunning.load() && pthread_equal(m_taskThread.load(), pthread_self());
}

bool DevConnection::WaitStop(unsigned ms)
{
    return m_stopEvent.Wait(ms);
}

void DevConnection::SetOneShot(uint32_t mode, const void* payload, uint32_t len)
{
    m_oneShotMode = mode;
    const uint8_t* p = static_cast<const uint8_t*>(payload);
    m_oneShot.assign(p, p + len);
}

bool DevConnection::Start(const KVNetConnectionParam* param, bool restart)
{
    if (!param || param->nPort > 65535)
        return false;
    if (!restart) {
        m_saved = *param;
        m_savedAddr = param->szAddr ? param->szAddr : "";
        m_savedUser = param->szUser ? param->szUser : "";
        m_savedPwd = param->szPwd ? param->szPwd : "";
        m_savedIdServer = param->szIDServer ? param->szIDServer : "";
        m_saved.szAddr = m_savedAddr.c_str();
        m_saved.szUser = m_savedUser.c_str();
        m_saved.szPwd = m_savedPwd.c_str();
        m_saved.szIDServer = m_savedIdServer.c_str();
        param = &m_saved;
    }
    m_timings = kvnet_get_session_timings();
    // A request still running from before (Stop clears it; a Start without one does not).
    if (const int64_t old = m_tunnel.exchange(0))
        StopP2PTunnel(m_loginType, old);
    m_loginType = param->nLoginType;
    m_stopping = 0;
    const char* addr = param->szAddr ? param->szAddr : "";
    {
        ScopedLock l(m_addrMutex);
        if (m_loginType != 0) {
            m_devId = addr;
            m_address = "127.0.0.1";
            const int t = m_loginType;
            if (t == 1 || t == 10 || t == 11)
                m_idServer = param->szIDServer ? param->szIDServer : "";
            else if (t == 23)
                m_idServer = addr;
            else
                m_idServer.clear();
        } else {
            m_address = addr;
            m_devId.clear();
            m_idServer.clear();
        }
        m_port = static_cast<uint16_t>(param->nPort);
    }
    {
        ScopedLock l(m_tunnelMutex);
        m_awaitingTunnel = 0;
        m_tunnelAnswered = 0;
        m_tunnelPort = 0;
        m_tunnelPath = 0;
    }
    m_devPort = static_cast<uint16_t>(param->nPort);
    m_loginVariant = param->nLoginVariant;
    m_user = param->szUser ? param->szUser : "";
    m_password = param->szPwd ? param->szPwd : "";
    m_reserved64 = param->reserved64;
    m_reserved32 = param->reserved32;
    m_userPtr = param->pUser;
    m_autoReconnect = param->bAutoReconnect ? 1 : 0;
    m_dataCb = param->dataCallback;
    m_alarmWanted = param->bAlarmReport ? 1 : 0;
    m_msgCb = param->msgCallback;
    m_loggedIn = 0;
    m_loginFlag = param->nLoginFlag;
    {
        ScopedLock l(m_loginRspMutex);
        memset(m_loginRsp, 0, sizeof m_loginRsp);
        m_loginRspLen = kLoginRspDefaultLen;
    }
    m_probe = (m_oneShotMode == kOneShotPushParam || m_oneShotMode == kOneShotSavePassword) ? 0 : 1;
    // A restarted session must not see the wake-up of its previous stop.
    uint64_t drain;
    while (m_wakeFd >= 0 && read(m_wakeFd, &drain, sizeof drain) > 0) {
    }
    m_threadEnded.Reset();
    m_taskThread = pthread_t{};
    m_taskRunning = true;
    if (sl_task_add(&DevConnection::ConnectionFun, this) != 0) {
        m_taskRunning = false;
        return false;
    }
    return true;
}

void* DevConnection::ConnectionFun(void* arg)
{
    static_cast<DevConnection*>(arg)->Run();
    return nullptr;
}

void DevConnection::Run()
{
    m_taskThread = pthread_self();
    const bool oneShot = m_oneShotMode == kOneShotPushParam || m_oneShotMode == kOneShotSavePassword;
    unsigned round = oneShot ? 1 : 0;
    unsigned resolveFails = 0, connFails = 0;
    bool resolveFirst = true;
    do {
        if (Stopping())
            break;
        m_retryWait = 1;
        if (resolveFirst) {
            if (!ResolveAddress()) {
                DeliverCode(KVNetMsgConnectFail);
                if (resolveFails >= 3 && oneShot) {
                    m_autoReconnect = 0;
                    DeliverCode(m_oneShotMode == kOneShotPushParam ? KVNetMsgPushParamFail : KVNetMsgSavePasswordFail);
                }
                ++resolveFails;
                if (m_autoReconnect)
                    WaitStop(m_timings.resolveRetryMs);
                ++round;
                continue;
            }
            if (m_loginType != 0 && m_loginType != 1 && m_loginType != 10 && m_loginType != 11 &&
                m_loginType != 23) {
                if (m_tunnelPath == 0)
                    DeliverCode(KVNetTypeP2P);
                else if (m_tunnelPath == 1)
                    DeliverCode(KVNetTypeP2PRelay);
            }
            connFails = 0;
        }
        if (m_user.empty() && !oneShot) {
            uint8_t block[136] = {};
            const uint32_t size = sizeof block, port = m_devPort;
            memcpy(block, &size, 4);
            memcpy(block + 4, &port, 4);
            DeliverData(KVNetDataNoUserName, block, sizeof block);
            break;
        }
        if (Stopping())
            break;
        const bool ok = Connect() && (oneShot ? SendParamToDevice() : Login());
        if (!ok) {
            if (oneShot) {
                m_autoReconnect = 0;
                break;
            }
            if (m_autoReconnect && m_retryWait)
                WaitStop(m_timings.retryMs);
            // The address is resolved again after every fifth failed attempt since the
            // last resolution, and only then.
            resolveFirst = connFails == 4;
            connFails = resolveFirst ? 0 : connFails + 1;
            ++round;
            continue;
        }
        m_loggedIn = 1;
        m_mainMode = m_main.mode();
        m_loggedInEvent.Set();
        DeliverCode(KVNetMsgLoginSuccess);
        SessionLoop();
        m_loggedIn = 0;
        OnDisconnect();
        DeliverCode(KVNetMsgConnectClosed);
        resolveFirst = false;
        ++round;
    } while (round < 2 || m_autoReconnect);
    m_rx.reset();
    // This worker goes back to the pool and may run another session's callback: it must
    // no longer count as this session's task.
    m_taskThread = pthread_t{};
    // Last touch of the session: Stop may free it as soon as this is set.
    m_threadEnded.Set();
}

bool DevConnection::ResolveAddress()
{
    ++m_resolveCount;
    switch (m_loginType) {
    case 0:
        return true;
    case 1:
    case 11:
        return ResolveIdServer();
    case 10:
        return ResolveDirectory();
    case 23:
        return ResolveRedirect();
    default:
        return ResolveTunnel();
    }
}

bool DevConnection::IsBmspHost(const char* host)
{
    return host && kv_resolve_is_dir_host(host);
}

void DevConnection::SetResolved(const std::string& addr, uint16_t port)
{
    ScopedLock l(m_addrMutex);
    m_address = addr;
    m_port = port;
}

bool DevConnection::OpenMain(const std::string& addr, uint16_t port, unsigned connectMs, unsigned sendMs,
                             unsigned recvMs)
{
    // A host name is looked up before the socket locks are taken and without making Stop
    // wait: a resolver that never answers would otherwise hold every lock Stop needs.
    addrinfo* resolved = nullptr;
    if (Stopping() || !SyncSocket::FindAddrInterruptible(&resolved, addr.c_str(), port, true, m_wakeFd))
        return false;
    bool ok;
    {
        ScopedLock s(m_sendMutex);
        ScopedLock l(m_sockMutex);
        m_main.Close();
        m_mainMode = kModePlain;
        if (Stopping()) {
            freeaddrinfo(resolved);
            ok = false;
        } else {
            ok = m_main.Socket(resolved, true);
        }
    }
    if (!ok)
        return false;
    const int fd = m_main.fd();
    timeval snd{static_cast<time_t>(sendMs / 1000), static_cast<suseconds_t>(sendMs % 1000) * 1000};
    timeval rcv{static_cast<time_t>(recvMs / 1000), static_cast<suseconds_t>(recvMs % 1000) * 1000};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &snd, sizeof snd);
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &rcv, sizeof rcv);
    m_main.SetRecvRule(recvMs, m_timings.floorBytesPerSec);
    // Connect(0) starts the connect (and resets the first-message flags); the wait for it
    // also watches the wake-up handle, so Stop ends it at once.
    if (m_main.Connect(0))
        return true;
    pollfd p[2] = {{fd, POLLOUT, 0}, {m_wakeFd, POLLIN, 0}};
    const uint64_t end = now_ms() + connectMs;
    for (;;) {
        const uint64_t now = now_ms();
        if (now >= end)
            return false;
        int rc = poll(p, 2, static_cast<int>(end - now));
        if (rc < 0 && errno == EINTR)
            continue;
        if (rc <= 0 || (p[1].revents & POLLIN))
            return false;
        int err = 0;
        socklen_t len = sizeof err;
        sockaddr_storage peer;
        socklen_t plen = sizeof peer;
        return getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0 &&
               getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &plen) == 0 && m_main.SetNonBlock(false);
    }
}

bool DevConnection::Lookup(const std::string& host, uint16_t port, const std::string& request,
                           bool (*complete)(const char*, size_t), std::string* reply)
{
    bool ok = OpenMain(host, port, m_timings.lookupConnectMs, m_timings.lookupSendMs, m_timings.lookupRecvMs) &&
              !Stopping() && m_main.Send(request.data(), request.size());
    if (ok) {
        reply->assign(kvresolve::kReplyMax, '\0');
        size_t got = 0;
        const int fd = m_main.fd();
        const uint64_t end = now_ms() + m_timings.lookupRecvMs;
        while (got < reply->size() && !complete(&(*reply)[0], got)) {
            const uint64_t now = now_ms();
            if (now >= end) {
                ok = false;
                break;
            }
            pollfd p[2] = {{fd, POLLIN, 0}, {m_wakeFd, POLLIN, 0}};
            int rc = poll(p, 2, static_cast<int>(end - now));
            if (rc < 0 && errno == EINTR)
                continue;
            if (rc <= 0 || (p[1].revents & POLLIN)) {
                ok = false;
                break;
            }
            ssize_t n = recv(fd, &(*reply)[got], reply->size() - got, 0);
            if (n < 0 && (errno == EINTR || errno == EAGAIN))
                continue;
            if (n < 0) {
                ok = false;
                break;
            }
            if (n == 0)
                break; // the peer has said all it will say
            got += static_cast<size_t>(n);
        }
        reply->resize(got);
    }
    CloseMain();
    return ok && !Stopping();
}

bool DevConnection::ResolveIdServer()
{
    const bool v2 = m_loginType == 11;
    printf(v2 ? "LOGIN_TYPE_VORNA_ID_V2, start get ID:%s\n" : "LOGIN_TYPE_ID, start get ID:%s\n", m_devId.c_str());
    std::string request, reply, addr;
    uint16_t port = 0;
    // An ID or host that could change the request's lines is refused before anything
    // is sent.
    const bool ok = kv_resolve_id_request(m_loginType, m_devId, m_idServer, &request) &&
                    Lookup(m_idServer, kv_resolve_http_port(), request, &kv_resolve_id_reply_complete, &reply) &&
                    kv_resolve_parse_id_reply(reply.data(), reply.size(), &addr, &port);
    if (ok)
        SetResolved(addr, port);
    printf("LOGIN_TYPE_ID, stop get ID:%s, result:%d\n", m_devId.c_str(), ok ? 1 : 0);
    fflush(stdout);
    return ok;
}

bool DevConnection::ResolveDirectory()
{
    if (!IsBmspHost(m_idServer.c_str()))
        return false;
    std::string request, reply, addr;
    uint16_t port = 0;
    const bool ok = kv_resolve_dir_request(m_devId, &request) &&
                    Lookup(m_idServer, kv_resolve_dir_port(), request, &kv_resolve_dir_reply_complete, &reply) &&
                    kv_resolve_parse_dir_reply(reply.data(), reply.size(), &addr, &port);
    if (ok)
        SetResolved(addr, port);
    return ok;
}

bool DevConnection::ResolveRedirect()
{
    std::string request, reply, host;
    const bool ok = kv_resolve_redirect_request(m_idServer, &request) &&
                    Lookup(m_idServer, kv_resolve_http_port(), request, &kv_resolve_redirect_reply_complete, &reply) &&
                    kv_resolve_parse_redirect_reply(reply.data(), reply.size(), &host);
    // The port stays the request's: a port in the URL is not the device's.
    if (ok)
        SetResolved(host, m_devPort);
    return ok;
}

int64_t DevConnection::StartP2PTunnel(_P2P_REQUEST_INFO_* request)
{
    CP2PTunnel* t = kv_p2p_tunnel_for(m_loginType);
    return t ? t->StartGetIPAndPort(request) : 0;
}

void DevConnection::StopP2PTunnel(int loginType, int64_t handle)
{
    if (CP2PTunnel* t = kv_p2p_tunnel_for(loginType))
        t->StopGetIPAndPort(static_cast<long>(handle));
}

void DevConnection::P2PTunnelCallbackFunc(uint16_t localPort, _P2P_INFO_* info)
{
    if (!info || !info->pUser)
        return;
    auto* s = static_cast<DevConnection*>(info->pUser);
    ScopedLock l(s->m_tunnelMutex);
    // Only the first answer while the step waits counts; a later one changes nothing.
    if (!s->m_awaitingTunnel || s->m_tunnelAnswered)
        return;
    s->m_tunnelAnswered = 1;
    s->m_tunnelPort = localPort;
    s->m_tunnelPath = info->nPathFlag;
    s->m_tunnelEvent.Set();
}

bool DevConnection::ResolveTunnel()
{
    // Control characters or spaces in the ID are refused like in the lookups; a long ID
    // is cut to what the request holds.
    if (!kv_resolve_text_ok(m_devId, std::string::npos))
        return false;
    SetResolved("127.0.0.1", m_devPort);
    _P2P_REQUEST_INFO_ req;
    memset(&req, 0, sizeof req);
    snprintf(req.szDevID, sizeof req.szDevID, "%s", m_devId.c_str());
    req.nDevPort = m_devPort;
    req.nLoginType = static_cast<uint8_t>(m_loginType);
    req.pUser = this;
    req.callback = &DevConnection::P2PTunnelCallbackFunc;
    {
        ScopedLock l(m_tunnelMutex);
        m_awaitingTunnel = 1;
        m_tunnelAnswered = 0;
        m_tunnelPort = 0;
        m_tunnelPath = 0;
    }
    m_tunnelEvent.Reset();
    if (const int64_t old = m_tunnel.exchange(0))
        StopP2PTunnel(m_loginType, old);
    const int64_t handle = Stopping() ? 0 : StartP2PTunnel(&req);
    if (handle == 0) {
        ScopedLock l(m_tunnelMutex);
        m_awaitingTunnel = 0;
        return false;
    }
    m_tunnel.store(handle);
    const uint64_t end = now_ms() + m_timings.tunnelWaitMs;
    for (;;) {
        {
            ScopedLock l(m_tunnelMutex);
            if (m_tunnelAnswered)
                break;
        }
        const uint64_t now = now_ms();
        if (Stopping() || now >= end)
            break;
        m_tunnelEvent.Wait(static_cast<unsigned>(end - now));
    }
    bool answered;
    uint16_t port;
    {
        ScopedLock l(m_tunnelMutex);
        m_awaitingTunnel = 0;
        answered = m_tunnelAnswered != 0;
        port = answered ? m_tunnelPort : 0;
    }
    // A stopping session leaves the handle to Stop, which stops it.
    if (Stopping())
        return false;
    if (port == 0) {
        // No answer, or the tunnel failed: the request is stopped (once) and forgotten.
        if (const int64_t h = m_tunnel.exchange(0))
            StopP2PTunnel(m_loginType, h);
        return false;
    }
    SetResolved("127.0.0.1", port);
    return true;
}

bool DevConnection::Connect()
{
    DeliverCode(KVNetMsgConnectStart);
    std::string addr;
    uint16_t port;
    {
        ScopedLock l(m_addrMutex);
        addr = m_address;
        port = m_port;
    }
    const bool ok = OpenMain(addr, port, m_timings.connectMs, m_timings.sendTimeoutMs, m_timings.recvTimeoutMs);
    if (!ok || Stopping()) {
        DeliverCode(KVNetMsgConnectFail);
        CloseMain();
        return false;
    }
    {
        ScopedLock l(m_addrMutex);
        m_liveAddress = addr;
        m_livePort = port;
        m_live = true;
    }
    DeliverCode(KVNetMsgConnectSuccess);
    return true;
}

void DevConnection::CloseMain()
{
    ScopedLock s(m_sendMutex);
    ScopedLock l(m_sockMutex);
    m_main.Close();
}

void DevConnection::SessionLoop()
{
    if (!m_rx)
        m_rx.reset(new MsgBuf);
    MsgBuf& msg = *m_rx;
    uint64_t lastBeat = now_ms();
    unsigned beats = 0;
    const std::string who = Describe();
    for (;;) {
        uint64_t now = now_ms();
        if (now - lastBeat >= m_timings.heartbeatMs) {
            if (++beats > m_timings.heartbeatLimit) {
                KV_LOG(!m_devId.empty() && gEnableP2PStatus, "ip:%s, devconnection send heartbeat 5 times failed\n",
                       who.c_str());
                break;
            }
            MsgHeadWrap h;
            h.flags = HeadSecurityBits();
            h.MsgType = kTypeHeartbeat;
            h.Seq = kvnet_next_seq();
            bool sent;
            {
                ScopedLock s(m_sendMutex);
                sent = m_main.SendMsg(h, nullptr);
            }
            if (!sent)
                break;
            lastBeat = now;
            KV_LOG(gEnableMsgStatus, "dev(%s,%u) Send heatbeat, Time=%u\n", who.c_str(), m_devPort,
                   static_cast<unsigned>(now));
        }
        const uint64_t due = lastBeat + m_timings.heartbeatMs;
        now = now_ms();
        const int wait = due > now ? static_cast<int>(due - now) : 0;
        pollfd p[2] = {{m_main.fd(), POLLIN, 0}, {m_wakeFd, POLLIN, 0}};
        int rc = poll(p, 2, wait);
        if (rc < 0 && errno == EINTR)
            continue;
        if (rc < 0) {
            KV_LOG(!m_devId.empty() && gEnableP2PStatus, "ip:%s, devconnection select error\n", who.c_str());
            break;
        }
        if (p[1].revents & POLLIN)
            break;
        if (rc > 0 && p[0].revents) {
            // No heartbeat goes out while a message is read: it must be complete by the
            // time the missing answers would end the session.
            const uint64_t dropAt =
                lastBeat + static_cast<uint64_t>(m_timings.heartbeatLimit + 1 - std::min(beats, m_timings.heartbeatLimit)) *
                               m_timings.heartbeatMs;
            m_main.SetHeadDeadline(std::max(dropAt, now_ms() + 1));
            if (!m_main.RecvMsg(msg)) {
                KV_LOG(!m_devId.empty() && gEnableP2PStatus, "ip:%s, devconnection recv error\n", who.c_str());
                break;
            }
            KV_LOG(gEnableMsgStatus,
                   "dev(%s,%u) autoreconnect=%d recv MsgType=%u, MsgSubType=%u, MsgSize=%u, AckFlag=%u, Seq=%u\n",
                   who.c_str(), m_devPort, m_autoReconnect.load(), msg.head.MsgType, msg.head.MsgSubType,
                   msg.head.MsgSize, msg.head.AckFlag, msg.head.Seq);
            Dispatch(msg);
            msg.free_heap();
            beats = 0;
        }
        if (Stopping())
            break;
    }
}

void DevConnection::Dispatch(MsgBuf& msg)
{
    const uint16_t t = msg.head.MsgType;
    if (t == kTypeHeartbeat || t == kTypeHeartbeatAnswer)
        return;
    if (t == kTypeAlarmReport || t == kTypeAlarmReportEx) {
        OnAlarmReport(msg, msg.head.MsgSubType);
        return;
    }
    // Everything else is a reply: the request layer knows who waits for it.
    if (m_requests)
        m_requests->Route(msg);
}

void DevConnection::AttachRequests(std::unique_ptr<kvsession::ReplyRouter> requests)
{
    m_requests = std::move(requests);
}

bool DevConnection::AttachStream(kvsession::StreamAttachment* stream)
{
    ScopedLock l(m_streamMutex);
    if (m_streamsEnding.load())
        return false;
    m_streams.push_back(stream);
    return true;
}

void DevConnection::DeliverMediaCode(unsigned code, void* user)
{
    ScopedLock g(m_cbMutex);
    if (m_stopEvent.Wait(0) || !m_msgCb)
        return;
    m_msgCb(code, user);
}

void DevConnection::DetachStream(kvsession::StreamAttachment* stream)
{
    std::unique_lock<Mutex> l(m_streamMutex);
    // EndStreams may be ending this very stream: wait for that to finish. Any other
    // stream is simply taken off the list (EndStreams then never reaches it).
    m_endedOne.wait(l, [&] { return m_ending != stream; });
    m_streams.erase(std::remove(m_streams.begin(), m_streams.end(), stream), m_streams.end());
}

bool DevConnection::EndStreams()
{
    {
        ScopedLock l(m_streamMutex);
        for (kvsession::StreamAttachment* a : m_streams) {
            if (a->OnOwnThread())
                return false;
        }
        m_streamsEnding = true;
    }
    // One at a time, outside the stream lock: ending a stream joins its thread, whose
    // callback may stop another stream of this session (that one detaches at once).
    while (true) {
        kvsession::StreamAttachment* a = nullptr;
        {
            ScopedLock l(m_streamMutex);
            if (m_streams.empty())
                break;
            a = m_streams.front();
            m_streams.erase(m_streams.begin());
            m_ending = a;
        }
        a->SessionStopping();
        {
            ScopedLock l(m_streamMutex);
            m_ending = nullptr;
        }
        m_endedOne.notify_all();
    }
    return true;
}

void DevConnection::OnAlarmReport(const MsgBuf& msg, uint32_t type)
{
    KV_LOG(gEnableMsgStatus, "dev(%s,%u), AlarmReport:msgsize=%d,msgsubtype = %d,msgextsize=%d", Describe().c_str(),
           m_devPort, static_cast<int>(msg.head.MsgSize), msg.head.MsgSubType, static_cast<int>(msg.head.ext_len()));
    DeliverData(type, msg.body(), msg.head.MsgSize);
}

void DevConnection::OnDisconnect()
{
    m_loggedInEvent.Reset();
    {
        ScopedLock l(m_sockMutex);
        m_main.Shutdown();
    }
    if (m_requests)
        m_requests->ConnectionLost();
    {
        ScopedLock l(m_streamMutex);
        for (kvsession::StreamAttachment* a : m_streams)
            a->ConnectionLost();
    }
    {
        ScopedLock s(m_sendMutex);
        ScopedLock l(m_sockMutex);
        m_main.Close();
        m_mainMode = kModePlain;
    }
    // Outside the send mutex: a failure callback may send on another session or wait.
    if (m_requests)
        m_requests->ConnectionClosed();
}

bool DevConnection::SendOnMain(const MsgHeadWrap& head, const void* body)
{
    ScopedLock s(m_sendMutex);
    if (!m_loggedInEvent.Wait(0))
        return false;
    return m_main.SendMsg(head, body);
}

uint32_t DevConnection::SessionId()
{
    ScopedLock l(m_loginRspMutex);
    uint32_t id;
    memcpy(&id, m_loginRsp + kSessionIdOffset, 4);
    return id;
}

bool DevConnection::PeerAddress(std::string* host, uint16_t* port)
{
    GetAddress(host, port);
    return !host->empty() && *port != 0;
}

void DevConnection::GetAddress(std::string* address, uint16_t* port)
{
    // A KVNetSetIPAndPort meant for the next attempt must not send side connections
    // elsewhere than the main connection they belong to.
    ScopedLock l(m_addrMutex);
    if (address)
        *address = m_live ? m_liveAddress : m_address;
    if (port)
        *port = m_live ? m_livePort : m_port;
}

void DevConnection::SetIPAndPort(const char* address, uint16_t port)
{
    {
        ScopedLock l(m_addrMutex);
        m_address = address ? address : "";
        m_port = port;
    }
    KV_LOG(gEnableMsgStatus, "set****ip:%s port:%u \n", address ? address : "", port);
}

void DevConnection::Stop()
{
    m_loggedIn = 0;
    m_autoReconnect = 0;
    m_stopping = 1;
    const bool self = OnConnectionTask();
    if (self) {
        // A callback stopping its own session: the task ends after the callback returns.
        m_stopEvent.Set();
    } else {
        // Closing the gate waits for a callback in progress; none starts afterwards.
        ScopedLock g(m_cbMutex);
        m_stopEvent.Set();
    }
    // After the stop event: a tunnel wait that wakes sees the session stopping.
    m_tunnelEvent.Set();
    if (m_wakeFd >= 0) {
        const uint64_t one = 1;
        ssize_t n = write(m_wakeFd, &one, sizeof one);
        (void)n;
    }
    {
        // Under the socket mutex the descriptor is the task's own: it cannot have been
        // closed and reused by someone else meanwhile.
        ScopedLock l(m_sockMutex);
        m_main.Shutdown();
    }
    if (!self && m_taskRunning.load()) {
        m_threadEnded.Wait(SyncEvent::kInfinite);
        m_taskRunning = false;
    }
    // The task has left its tunnel step (or is this caller's own): a handle still held
    // is stopped here; once that returns no callback of it can come.
    if (const int64_t h = m_tunnel.exchange(0))
        StopP2PTunnel(m_loginType, h);
    m_oneShot.clear();
    m_oneShot.shrink_to_fit();
    m_oneShotMode = kOneShotNone;
    LogCode(KVNetMsgConnectStop);
}

bool DevConnection::Restart()
{
    // From the session's own callback a restart would start a second task beside the
    // running one: refused, as the interface says.
    if (OnConnectionTask()) {
        KV_LOG(gEnableConnStatus, "dev(%s) reset from its own callback refused\n", Describe().c_str());
        return false;
    }
    Stop();
    m_loggedInEvent.Reset();
    m_threadEnded.Reset();
    m_stopEvent.Reset();
    m_tunnelEvent.Reset();
    return Start(&m_saved, true);
}
