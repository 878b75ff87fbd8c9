// KVNetSetNewDevInfoEx and friends: the re-addressing request sent from every local
// IPv4 address, in the 744-byte form and (when the credentials fit) the 116-byte form.
#include "readdress.h"

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <string>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

#include "kv_globals.h"
#include "kv_log.h"
#include "msg_channel.h"
#include "kvnet/KVNetSearch.h"
#include "local_addrs.h"
#include "search_wire.h"

namespace {

std::atomic<int> gBroadcastMs{4000};
std::atomic<int> gUnicastMs{6000};
std::atomic<bool> gFailThreadStart{false};

struct Sender {
    KVLocalAddr local;
    char token[16] = {};
    pthread_t thread{};
    bool started = false;
    uint16_t msgType = 0;
    const uint8_t* body = nullptr;
    uint32_t bodySize = 0;
    int result = -1;        // 0 acknowledged, -1 not
    std::string dest;       // empty: broadcast
};

// One datagram from the sender's local address. The socket is bound to 0.0.0.0 so that
// it also receives an answer broadcast to its port (Linux does not hand broadcasts to
// a socket bound to a unicast address); the source address is chosen per datagram.
bool SendFromLocal(int fd, const Sender& s, const sockaddr_in& to, const void* data, size_t len)
{
    iovec iov{const_cast<void*>(data), len};
    msghdr m{};
    m.msg_name = const_cast<sockaddr_in*>(&to);
    m.msg_namelen = sizeof to;
    m.msg_iov = &iov;
    m.msg_iovlen = 1;
    alignas(cmsghdr) char ctl[CMSG_SPACE(sizeof(in_pktinfo))] = {};
    in_pktinfo pi{};
    if (inet_pton(AF_INET, s.local.addr.c_str(), &pi.ipi_spec_dst) == 1 && pi.ipi_spec_dst.s_addr != 0) {
        // A broadcast leaves by the address's own interface; a unicast follows the route.
        if (s.dest.empty())
            pi.ipi_ifindex = static_cast<int>(s.local.ifindex);
        m.msg_control = ctl;
        m.msg_controllen = sizeof ctl;
        cmsghdr* c = CMSG_FIRSTHDR(&m);
        c->cmsg_level = IPPROTO_IP;
        c->cmsg_type = IP_PKTINFO;
        c->cmsg_len = CMSG_LEN(sizeof pi);
        memcpy(CMSG_DATA(c), &pi, sizeof pi);
    }
    if (sendmsg(fd, &m, MSG_NOSIGNAL) == static_cast<ssize_t>(len))
        return true;
    KV_LOG(gEnableNetErr, "sock=%d, %s err = %d\n", fd, "SendTo", errno);
    return false;
}

void RunSender(Sender& s)
{
    MsgHeadWrap head;
    head.MsgType = s.msgType;
    head.MsgSize = s.bodySize;
    head.Seq = kvnet_next_seq();

    const bool unicast = !s.dest.empty();
    KVMsgChannel sock;
    if (!sock.Socket(unicast ? s.dest.c_str() : "255.255.255.255", kvsearch::kPort, false))
        return;
    if (!sock.Bind("0.0.0.0", 0))
        return;
    const int one = 1;
    if (!unicast && !sock.SetSockOpt(SO_BROADCAST, &one))
        return;
    timeval snd{unicast ? 3 : 2, 0};
    setsockopt(sock.fd(), SOL_SOCKET, SO_SNDTIMEO, &snd, sizeof snd);

    std::vector<uint8_t> dg(sizeof head + s.bodySize);
    memcpy(dg.data(), &head, sizeof head);
    memcpy(dg.data() + sizeof head, s.body, s.bodySize);
    sockaddr_in to{};
    memcpy(&to, sock.peer()->ai_addr, sizeof to);
    if (!SendFromLocal(sock.fd(), s, to, dg.data(), dg.size()))
        return;

    // The wait ends at the first answer or at the time-out counted from the send, so a
    // host that keeps sending other datagrams cannot hold the caller.
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(unicast ? gUnicastMs.load() : gBroadcastMs.load());
    std::unique_ptr<uint8_t[]> buf(new uint8_t[kvsearch::kMaxDatagram]);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            break;
        pollfd p{sock.fd(), POLLIN, 0};
        int r = poll(&p, 1, static_cast<int>(left.count()));
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            break;
        ssize_t n = recv(sock.fd(), buf.get(), kvsearch::kMaxDatagram, 0);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            KV_LOG(gEnableNetErr, "sock=%d, %s err = %d\n", sock.fd(), "RecvFrom", errno);
            break;
        }
        const int m = kv_readdress_match(buf.get(), static_cast<size_t>(n), head, s.token);
        if (m != -2) {
            s.result = m;
            break;
        }
    }
    sock.Close();
}

void* SenderMain(void* arg)
{
    RunSender(*static_cast<Sender*>(arg));
    return nullptr;
}

bool StartSender(Sender& s)
{
    if (gFailThreadStart.load())
        return false;
    pthread_attr_t attr;
    bool haveAttr = pthread_attr_init(&attr) == 0;
    if (haveAttr) {
        rlimit rl{};
        const long page = sysconf(_SC_PAGESIZE);
        if (getrlimit(RLIMIT_STACK, &rl) == 0 && rl.rlim_cur != RLIM_INFINITY && rl.rlim_cur >= 8192 && page > 0)
            pthread_attr_setstacksize(&attr, rl.rlim_cur / page * page);
    }
    const int rc = pthread_create(&s.thread, haveAttr ? &attr : nullptr, SenderMain, &s);
    if (haveAttr)
        pthread_attr_destroy(&attr);
    return rc == 0;
}

} // namespace

void kv_readdress_set_timeouts(int broadcastMs, int unicastMs)
{
    gBroadcastMs.store(broadcastMs > 0 ? broadcastMs : 4000);
    gUnicastMs.store(unicastMs > 0 ? unicastMs : 6000);
}

void kv_readdress_fail_thread_start(bool fail)
{
    gFailThreadStart.store(fail);
}

extern "C" int KVNetSetNewDevInfoEx(const KVNetSetNewDevInfoExParam* p)
{
    if (!p)
        return 0;
    std::vector<KVLocalAddr> locals = kv_local_ipv4();
    if (locals.empty())
        locals.push_back(KVLocalAddr{"0.0.0.0", 0, false});

    std::string dest;
    if (p->bUnicast) {
        char text[32];
        snprintf(text, sizeof text, "%d.%d.%d.%d", p->CurIP[0], p->CurIP[1], p->CurIP[2], p->CurIP[3]);
        dest = text;
    }
    const bool legacy = kv_readdress_sends_legacy(*p);
    uint8_t legacyBody[kvsearch::kLegacyBody];
    kv_readdress_build_legacy(*p, legacyBody);

    std::vector<std::unique_ptr<Sender>> senders;
    for (const KVLocalAddr& local : locals) {
        for (int form = 0; form < (legacy ? 2 : 1); ++form) {
            auto s = std::make_unique<Sender>();
            s->local = local;
            memcpy(s->token, p->szToken, sizeof s->token);
            s->msgType = form == 0 ? kvsearch::kTypeReaddress : kvsearch::kTypeReaddressLegacy;
            s->body = form == 0 ? reinterpret_cast<const uint8_t*>(p) : legacyBody;
            s->bodySize = form == 0 ? sizeof *p : kvsearch::kLegacyBody;
            s->dest = dest;
            senders.push_back(std::move(s));
        }
    }
    // A sender whose thread cannot be created counts as not acknowledged.
    for (auto& s : senders)
        s->started = StartSender(*s);
    int ok = 0;
    for (auto& s : senders) {
        if (s->started)
            pthread_join(s->thread, nullptr);
        if (s->started && s->result == 0)
            ok = 1;
    }
    return ok;
}

extern "C" int KVNetSetNewDevInfo(const KVNetSetNewDevInfoParam* p)
{
    if (!p)
        return 0;
    KVNetSetNewDevInfoExParam ex;
    kv_readdress_from_legacy(*p, &ex);
    return KVNetSetNewDevInfoEx(&ex);
}

extern "C" int KVNetSetDevInfo(void)
{
    return 0;
}
