#include "msg_channel.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <sys/uio.h>
#include <time.h>

#include <openssl/crypto.h>

#include "scrambler.h"
#include "srp6/kv_envelope.h"

static_assert(offsetof(MsgBuf, inl) == sizeof(MsgHeadWrap), "head and inline area are contiguous");
static_assert(offsetof(PackBuf, data) == sizeof(PackHead), "pack head and data are contiguous");

namespace {

constexpr size_t kHeadroom = 40;      // room for the envelope head without a second copy
constexpr size_t kEnvelopeBlock = 400;
constexpr size_t kStackSend = 4096;   // messages up to this size are built on the stack

void put_u32(uint8_t* p, uint32_t v)
{
    memcpy(p, &v, 4);
}

void write_probe_trailer(uint8_t* p)
{
    memset(p, 0, kvmsg::kProbeTrailerSize);
    put_u32(p, kvmsg::kProbeTrailerSize);
    memcpy(p + 4, "TEDD", 4);
    put_u32(p + 8, 3);
}

void sleep_ms(uint32_t ms)
{
    timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0) {
    }
}

// A send buffer on the stack when small, on the heap otherwise.
class SendBuffer {
public:
    bool reserve(size_t n)
    {
        if (n <= sizeof small_) {
            p_ = small_;
            return true;
        }
        big_.reset(new (std::nothrow) uint8_t[n]);
        p_ = big_.get();
        return p_ != nullptr;
    }
    uint8_t* data() { return p_; }

private:
    uint8_t small_[kStackSend];
    std::unique_ptr<uint8_t[]> big_;
    uint8_t* p_ = nullptr;
};

} // namespace

KVMsgChannel::KVMsgChannel() : m_msgCounter(0), m_mode(kModeScrambled)
{
    memset(m_key, 0, sizeof m_key);
    memset(m_iv, 0, sizeof m_iv);
}

KVMsgChannel::~KVMsgChannel()
{
    OPENSSL_cleanse(m_key, sizeof m_key);
    OPENSSL_cleanse(m_iv, sizeof m_iv);
}

void KVMsgChannel::StartEnvelope(const uint8_t key[kKeySize], const uint8_t iv[kKeySize])
{
    memcpy(m_key, key, kKeySize);
    memcpy(m_iv, iv, kKeySize);
    m_mode = kModeEnvelope;
}

namespace {
// Sets a deadline for one transfer and removes it when the transfer ends.
class DeadlineScope {
public:
    DeadlineScope(SyncSocket& s, bool recv, uint64_t at) : s_(s), recv_(recv) { Set(at); }
    ~DeadlineScope() { Set(0); }
    void Set(uint64_t at) { recv_ ? s_.SetRecvDeadline(at) : s_.SetSendDeadline(at); }

private:
    SyncSocket& s_;
    bool recv_;
};
} // namespace

bool KVMsgChannel::SendBytes(const uint8_t* data, size_t len, uint32_t chunk, uint32_t pauseMs)
{
    if (!tcp_)
        return SendTo(data, len);
    if (chunk == 0 || pauseMs == 0)
        return Send(data, len);
    size_t off = 0;
    while (len - off > chunk) {
        if (!Send(data + off, chunk))
            return false;
        off += chunk;
        sleep_ms(pauseMs);
    }
    return off == len || Send(data + off, len - off);
}

bool KVMsgChannel::SendMsg(const MsgHeadWrap& head, const void* body, bool probe,
                                  uint32_t chunk, uint32_t pauseMs)
{
    const uint32_t bodyLen = head.MsgSize;
    if (bodyLen > 0 && !body)
        return false;
    MsgHeadWrap h = head;
    h.flags = static_cast<uint8_t>(head.security()); // the client never sends an extension
    const bool trailer = probe && firstSend_;
    const size_t trailerLen = trailer ? kvmsg::kProbeTrailerSize : 0;
    if (trailer)
        h.MsgSize += kvmsg::kProbeTrailerSize;

    if (firstSend_)
        m_mode = h.security() != 0 ? kModeScrambled : kModePlain;
    if (m_mode == kModeEnvelope)
        h.flags = 0;
    else if (m_mode == kModeScrambled)
        h.flags = 2; // the peer unscrambles by these bits
    ++m_msgCounter;

    if (m_mode == kModePlain && (chunk == 0 || pauseMs == 0 || !tcp_)) {
        // Plain: head, body and trailer go out as they are, gathered by the kernel.
        uint8_t trailerBuf[kvmsg::kProbeTrailerSize];
        iovec iov[3];
        int n = 0;
        iov[n++] = {&h, sizeof h};
        if (bodyLen)
            iov[n++] = {const_cast<void*>(body), bodyLen};
        if (trailer) {
            write_probe_trailer(trailerBuf);
            iov[n++] = {trailerBuf, sizeof trailerBuf};
        }
        DeadlineScope d(*this, false, SendRuleDeadline(sizeof h + bodyLen + trailerLen));
        return SendV(iov, n);
    }

    const size_t blockLen = m_mode == kModeEnvelope ? kEnvelopeBlock : 0;
    const size_t inner = sizeof h + bodyLen + trailerLen;
    SendBuffer buf;
    if (!buf.reserve(kHeadroom + blockLen + inner))
        return false;
    uint8_t* start = buf.data() + kHeadroom;
    uint8_t* p = start;
    if (blockLen) {
        memset(p, 0, blockLen);
        put_u32(p, kEnvelopeBlock);
        put_u32(p + 4, m_msgCounter);
        p += blockLen;
    }
    memcpy(p, &h, sizeof h);
    if (bodyLen)
        memcpy(p + sizeof h, body, bodyLen);
    if (trailer)
        write_probe_trailer(p + sizeof h + bodyLen);

    if (m_mode == kModeScrambled) {
        // Bytes 0-1 stay plain; bytes 2-15 are one unit, body and trailer another.
        // A scrambler failure fails the send: never plain data under a scrambled head.
        if (!kv_scramble(p + 2, sizeof h - 2) || !kv_scramble(p + sizeof h, bodyLen + trailerLen))
            return false;
    } else if (m_mode == kModeEnvelope) {
        if (!kvenv::Seal(m_key, m_iv, start, blockLen + inner))
            return false;
        MsgHeadWrap env;
        env.MsgType = kvmsg::kTypeEnvelope;
        env.MsgSize = static_cast<uint32_t>(blockLen + inner);
        env.Seq = m_msgCounter;
        start -= sizeof env;
        memcpy(start, &env, sizeof env);
    }
    const size_t total = (p - start) + inner;
    DeadlineScope d(*this, false, SendRuleDeadline(total));
    return SendBytes(start, total, chunk, pauseMs);
}

bool KVMsgChannel::RecvMsg(MsgBuf& msg, sockaddr_storage* from)
{
    bool ok = tcp_ ? RecvMsgTcp(msg) : RecvMsgUdp(msg, from);
    if (!ok)
        return false;
    if (msg.head.MsgType == kvmsg::kTypeEnvelope)
        return kvenv::Open(m_key, m_iv, msg);
    return true;
}

uint64_t KVMsgChannel::SendRuleDeadline(size_t len) const
{
    if (!m_sendFloor || !tcp_)
        return 0;
    return MonoMs() + m_sendBaseMs + FloorMs(len, m_sendFloor);
}

bool KVMsgChannel::RecvMsgTcp(MsgBuf& msg)
{
    msg.clear();
    uint64_t headBy = 0;
    if (m_recvFloor)
        headBy = m_headDeadline ? m_headDeadline : MonoMs() + m_recvBaseMs;
    m_headDeadline = 0;
    DeadlineScope d(*this, true, headBy);
    if (!Recv(&msg.head, sizeof msg.head))
        return false;
    const unsigned ext = msg.head.ext_len();
    if (!Recv(msg.inl, ext))
        return false;
    const bool scrambled = msg.head.security() == 2;
    if (scrambled) {
        // Head bytes 2-15 and the extension are one unit; the body size lies inside it.
        uint8_t* unit = reinterpret_cast<uint8_t*>(&msg.head) + 2;
        if (!kv_unscramble(unit, sizeof msg.head - 2 + ext))
            return false;
    }
    const uint32_t size = msg.head.MsgSize;
    // The announced size buys time at the floor rate (an oversized one fails below).
    if (headBy)
        d.Set(headBy + FloorMs(std::min<uint64_t>(size, kvmsg::kMaxBody), m_recvFloor));
    if (size > kvmsg::kMaxBody) {
#ifndef KV_FUZZ_BUILD
        printf("**************Msgbuf is not big enough, and data is too big(%d), type:%d, sub type:%d, "
               "size:%d, seq:%d\n",
               static_cast<int>(size), msg.head.MsgType, msg.head.MsgSubType, static_cast<int>(size),
               static_cast<int>(msg.head.Seq));
#endif
        return false;
    }
    if (static_cast<size_t>(ext) + size > kvmsg::kInlineBody) {
        msg.heap = static_cast<uint8_t*>(calloc(size, 1));
        if (!msg.heap)
            return false;
        msg.heapSize = size;
    }
    if (!Recv(msg.body(), size))
        return false;
    if (scrambled && !kv_unscramble(msg.body(), size))
        return false;
    return true;
}

bool KVMsgChannel::RecvMsgUdp(MsgBuf& msg, sockaddr_storage* from)
{
    msg.clear();
    int len = static_cast<int>(kvmsg::kInlineBody);
    socklen_t fromLen = sizeof(sockaddr_storage);
    uint8_t* raw = reinterpret_cast<uint8_t*>(&msg.head);
    if (!RecvFrom(raw, &len, reinterpret_cast<sockaddr*>(from), from ? &fromLen : nullptr))
        return false;
    const size_t got = static_cast<size_t>(len);
    if (got < sizeof msg.head)
        return false;
    const unsigned ext = msg.head.ext_len();
    if (sizeof msg.head + ext > got)
        return false;
    const bool scrambled = msg.head.security() == 2;
    // Bytes 0-1 are plain over UDP as over TCP: senders never scramble them.
    if (scrambled && !kv_unscramble(raw + 2, sizeof msg.head - 2 + ext))
        return false;
    // The datagram must hold everything its head announces.
    if (sizeof msg.head + ext + static_cast<size_t>(msg.head.MsgSize) > got)
        return false;
    if (scrambled && !kv_unscramble(msg.body(), msg.head.MsgSize))
        return false;
    return true;
}

bool KVMsgChannel::SendAndRecvMsg(const MsgHeadWrap& head, const void* body, MsgBuf& reply, bool probe)
{
    const bool firstRecv = firstRecv_;
    if (!SendMsg(head, body, probe) || !RecvMsg(reply))
        return false;
    if (firstRecv)
        m_mode = reply.head.security() != 0 ? kModeScrambled : kModePlain;
    return true;
}

bool KVMsgChannel::SendFrame(const void* frame)
{
    const uint8_t* f = static_cast<const uint8_t*>(frame);
    uint32_t payload;
    uint32_t frameNo;
    memcpy(&payload, f + kvmsg::kFrameSizeOffset, 4);
    memcpy(&frameNo, f + kvmsg::kFrameNoOffset, 4);
    const uint64_t total = kvmsg::kFrameHeadSize + static_cast<uint64_t>(payload);
    const uint64_t packs = (total + kvmsg::kFramePack - 1) / kvmsg::kFramePack;
    if (packs > 0xFFFF) // PackNum is 16 bits: refuse rather than wrap
        return false;
    uint8_t buf[sizeof(PackHead) + kvmsg::kFramePack];
    uint64_t off = 0;
    for (uint16_t no = 0; off < total; ++no) {
        PackHead ph;
        ph.PackNum = static_cast<uint16_t>(packs);
        ph.FrameNo = frameNo;
        ph.PackNo = no;
        ph.PackSize = static_cast<uint16_t>(total - off < kvmsg::kFramePack ? total - off : kvmsg::kFramePack);
        memcpy(buf, &ph, sizeof ph);
        memcpy(buf + sizeof ph, f + off, ph.PackSize);
        if (!Send(buf, sizeof ph + ph.PackSize))
            return false;
        off += ph.PackSize;
    }
    return true;
}

bool KVMsgChannel::RecvPack(PackBuf& pack)
{
    if (tcp_) {
        if (!Recv(&pack.head, sizeof pack.head) || !Recv(pack.data, pack.head.ext_len()))
            return false;
        if (pack.head.PackSize > kvmsg::kPackData)
            return false;
        if (!Recv(pack.payload(), pack.head.PackSize))
            return false;
    } else {
        int len = static_cast<int>(kvmsg::kPackDatagram);
        if (!RecvFrom(&pack.head, &len))
            return false;
        const size_t got = static_cast<size_t>(len);
        if (got < sizeof pack.head ||
            got != sizeof pack.head + pack.head.ext_len() + static_cast<size_t>(pack.head.PackSize))
            return false;
    }
    const PackHead& h = pack.head;
    if (h.PackType != 0)
        return true;
    if (h.PackNo < h.PackNum && h.PackSize <= kvmsg::kPackData)
        return true;
#ifndef KV_FUZZ_BUILD
    printf("***Invalid pack PackType:%d, PackNum:%d, PackNo:%d, PackSize:%d***\n", h.PackType, h.PackNum,
           h.PackNo, h.PackSize);
#endif
    return false;
}

bool KVMsgChannel::SendRaw(const void* a, size_t alen, const void* b, size_t blen)
{
    SendBuffer buf;
    if (!buf.reserve(alen + blen))
        return false;
    if (alen)
        memcpy(buf.data(), a, alen);
    if (blen)
        memcpy(buf.data() + alen, b, blen);
    return Send(buf.data(), alen + blen);
}
