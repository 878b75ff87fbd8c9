// KVNetSearchDev and KVNetSearchDevPoint2Point: one header-only request per probed
// address, replies collected until 250 ms pass without a datagram or 5 s after the request.
#include "search.h"

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <vector>

#include "kv_globals.h"
#include "kv_log.h"
#include "msg_channel.h"
#include "kvnet/KVNetSearch.h"
#include "local_addrs.h"
#include "search_collector.h"
#include "search_wire.h"
#include "task_pool.h"

namespace {

std::atomic<int> gRecvMs{250};
std::atomic<int> gTotalMs{5000};
std::atomic<unsigned> gMaxRangeTasks{32};
std::atomic<KVSearchBlockObserver> gBlockObserver{nullptr};

// One task of a broadcast search: its own reference to the collector.
struct SearchTask {
    SearchHolder holder;
    std::string bindAddr = "0.0.0.0";
    std::string firstAddr;
    int32_t count = 0;
    uint8_t broadcast = 0;
};

// The blocks of a range search, shared by its tasks.
struct RangeWork {
    uint32_t first = 0;
    uint64_t total = 0;   // addresses; up to 2^32
    uint64_t blocks = 0;
    std::atomic<uint64_t> next{0};
};

struct RangeTask {
    SearchHolder holder;
    std::shared_ptr<RangeWork> work;
};

// Sends the request out of every interface that can broadcast (same datagram, same Seq):
// a limited broadcast from a socket bound to 0.0.0.0 would leave by one interface only.
bool SendBroadcast(int fd, const MsgHeadWrap& head)
{
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(kvsearch::kPort);
    to.sin_addr.s_addr = htonl(INADDR_BROADCAST);
    iovec iov{const_cast<MsgHeadWrap*>(&head), sizeof head};

    bool any = false;
    bool tried = false;
    std::vector<unsigned> sentOn; // one datagram per interface, however many addresses it has
    for (const KVLocalAddr& a : kv_local_ipv4()) {
        if (!a.broadcast || a.ifindex == 0 ||
            std::find(sentOn.begin(), sentOn.end(), a.ifindex) != sentOn.end())
            continue;
        sentOn.push_back(a.ifindex);
        tried = true;
        alignas(cmsghdr) char ctl[CMSG_SPACE(sizeof(in_pktinfo))] = {};
        msghdr m{};
        m.msg_name = &to;
        m.msg_namelen = sizeof to;
        m.msg_iov = &iov;
        m.msg_iovlen = 1;
        m.msg_control = ctl;
        m.msg_controllen = sizeof ctl;
        cmsghdr* c = CMSG_FIRSTHDR(&m);
        c->cmsg_level = IPPROTO_IP;
        c->cmsg_type = IP_PKTINFO;
        c->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
        in_pktinfo pi{};
        pi.ipi_ifindex = static_cast<int>(a.ifindex);
        inet_pton(AF_INET, a.addr.c_str(), &pi.ipi_spec_dst);
        memcpy(CMSG_DATA(c), &pi, sizeof pi);
        if (sendmsg(fd, &m, MSG_NOSIGNAL) == static_cast<ssize_t>(sizeof head))
            any = true;
        else
            KV_LOG(gEnableNetErr, "sock=%d, %s err = %d\n", fd, "SendTo", errno);
    }
    if (tried)
        return any;
    // No broadcast interface known: let the routing table choose, as a plain send would.
    if (sendto(fd, &head, sizeof head, MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&to), sizeof to) ==
        static_cast<ssize_t>(sizeof head))
        return true;
    KV_LOG(gEnableNetErr, "sock=%d, %s err = %d\n", fd, "SendTo", errno);
    return false;
}

// Probes one address; appends every answering record to out.
void ProbeOne(const char* addr, const char* bindAddr, bool broadcast, const MsgHeadWrap& head,
              std::vector<SearchDevRsp>& out)
{
    KV_LOG(gEnableBroadcastStatus, "search dev begin ip=%s, port=%u\n", addr, kvsearch::kPort);
    KVMsgChannel s;
    if (!s.Socket(addr, kvsearch::kPort, false))
        return;
    // Port 0: the system picks a free port in the bind itself (asking first and binding
    // after leaves a window in which another socket can take it).
    if (!s.Bind(bindAddr, 0))
        return;
    const int one = 1;
    if (broadcast && !s.SetSockOpt(SO_BROADCAST, &one))
        return;
    timeval snd{1, 0};
    setsockopt(s.fd(), SOL_SOCKET, SO_SNDTIMEO, &snd, sizeof snd);
    // A thousand answers in one instant overflow the default buffer; the forced size
    // needs privileges, the plain one is capped by the system's maximum.
    const int rcvbuf = kSearchRecvBuffer;
    if (setsockopt(s.fd(), SOL_SOCKET, SO_RCVBUFFORCE, &rcvbuf, sizeof rcvbuf) != 0)
        setsockopt(s.fd(), SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);

    const bool sent = broadcast ? SendBroadcast(s.fd(), head) : s.SendMsg(head, nullptr);
    if (!sent)
        return;

    const auto start = std::chrono::steady_clock::now();
    const int recvMs = gRecvMs.load();
    const auto total = std::chrono::milliseconds(gTotalMs.load());
    std::unique_ptr<uint8_t[]> buf(new uint8_t[kvsearch::kMaxDatagram]);
    SearchDevRsp rec;
    for (;;) {
        pollfd p{s.fd(), POLLIN, 0};
        int r = poll(&p, 1, recvMs);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            break;
        ssize_t n = recv(s.fd(), buf.get(), kvsearch::kMaxDatagram, 0);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            KV_LOG(gEnableNetErr, "sock=%d, %s err = %d\n", s.fd(), "RecvFrom", errno);
            break;
        }
        if (std::chrono::steady_clock::now() - start > total)
            break; // a device that never stops answering cannot hold the search
        if (kv_search_reply_to_record(buf.get(), static_cast<size_t>(n), head, &rec))
            out.push_back(rec);
        else
            KV_LOG(gEnableBroadcastStatus, "search dev ignore invalid msg\n");
    }
    s.Close();
}

// Probes count consecutive addresses from first (host order) and hands the records
// to the collector.
void ProbeBlock(SearchCollector* c, const char* bindAddr, uint32_t first, uint32_t count, bool broadcast)
{
    const uint16_t type = kv_search_msg_type(c->variant());
    std::vector<SearchDevRsp> found;
    for (uint64_t i = 0; i < count; ++i) {
        const uint32_t hostAddr = static_cast<uint32_t>(first + i);
        const MsgHeadWrap head = kv_search_request(type, kvnet_next_seq());
        const uint8_t last = hostAddr & 0xFF;
        if (!broadcast && (last == 0 || last == 1 || last == 255))
            continue;
        in_addr a{htonl(hostAddr)};
        char text[INET_ADDRSTRLEN];
        inet_ntop(AF_INET, &a, text, sizeof text);
        ProbeOne(text, bindAddr, broadcast, head, found);
    }
    KV_LOG(gEnableBroadcastStatus, "%u dev searched\n", static_cast<unsigned>(found.size()));
    c->Append(found);
}

void* SearchTaskMain(void* arg)
{
    std::unique_ptr<SearchTask> t(static_cast<SearchTask*>(arg));
    in_addr a{};
    if (inet_pton(AF_INET, t->firstAddr.c_str(), &a) == 1 && t->count > 0)
        ProbeBlock(t->holder.get(), t->bindAddr.c_str(), ntohl(a.s_addr), static_cast<uint32_t>(t->count),
                   t->broadcast != 0);
    return nullptr; // the record and its reference go here
}

void* RangeTaskMain(void* arg)
{
    std::unique_ptr<RangeTask> t(static_cast<RangeTask*>(arg));
    RangeWork& w = *t->work;
    for (;;) {
        const uint64_t b = w.next.fetch_add(1);
        if (b >= w.blocks)
            break;
        const uint64_t off = b * 10;
        const uint32_t count = static_cast<uint32_t>(std::min<uint64_t>(10, w.total - off));
        const uint32_t first = static_cast<uint32_t>(w.first + off);
        if (KVSearchBlockObserver obs = gBlockObserver.load())
            obs(first, count);
        ProbeBlock(t->holder.get(), "0.0.0.0", first, count, false);
    }
    return nullptr;
}

bool ParseAddr(const char* text, size_t max, uint32_t* out)
{
    std::string s(text, strnlen(text, max));
    in_addr a{};
    if (inet_pton(AF_INET, s.c_str(), &a) != 1)
        return false;
    *out = ntohl(a.s_addr);
    return true;
}

} // namespace

KVSearchRange kv_search_range(uint32_t a, uint32_t c)
{
    const uint64_t total = static_cast<uint64_t>(c) - a + 1;
    return {total, (total + 9) / 10};
}

void kv_search_set_timeouts(int recvMs, int totalMs)
{
    gRecvMs.store(recvMs > 0 ? recvMs : 250);
    gTotalMs.store(totalMs > 0 ? totalMs : 5000);
}
int kv_search_recv_timeout_ms() { return gRecvMs.load(); }
int kv_search_total_timeout_ms() { return gTotalMs.load(); }
void kv_search_set_max_range_tasks(unsigned n) { gMaxRangeTasks.store(n ? n : 32); }
void kv_search_set_block_observer(KVSearchBlockObserver fn) { gBlockObserver.store(fn); }

extern "C" void KVNetSearchDev(const KVNetSearchDevParam* param)
{
    if (!param)
        return;
    // The task takes the call's only reference, so delivery never runs on the caller's
    // thread unless the task cannot be started (then the final call comes at once).
    auto* t = new SearchTask{SearchHolder(new SearchCollector(param->callback, param->user, param->variant)),
                       "0.0.0.0", "255.255.255.255", 1, 1};
    if (sl_task_add(SearchTaskMain, t) != 0)
        delete t;
}

extern "C" void KVNetSearchDevPoint2Point(const KVNetSearchDevPoint2PointParam* param)
{
    if (!param)
        return;
    SearchHolder holder(new SearchCollector(param->callback, param->user, param->variant));
    uint32_t a = 0, c = 0;
    // An address text that does not parse probes nothing rather than a guessed range.
    if (!ParseAddr(param->szStartIP, sizeof param->szStartIP, &a) ||
        !ParseAddr(param->szEndIP, sizeof param->szEndIP, &c) || c < a)
        return; // releasing the only reference delivers the single final call here

    auto work = std::make_shared<RangeWork>();
    const KVSearchRange r = kv_search_range(a, c);
    work->first = a;
    work->total = r.total;
    work->blocks = r.blocks;
    const uint64_t tasks = std::min<uint64_t>(work->blocks, gMaxRangeTasks.load());

    // Every task gets its reference before any starts; the call's own goes to the first.
    std::vector<RangeTask*> pending;
    for (uint64_t i = 1; i < tasks; ++i)
        pending.push_back(new RangeTask{SearchHolder(holder), work});
    pending.insert(pending.begin(), new RangeTask{std::move(holder), work});
    for (RangeTask* t : pending)
        if (sl_task_add(RangeTaskMain, t) != 0)
            delete t;
}
