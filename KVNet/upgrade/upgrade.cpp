#include "upgrade.h"

#include <cerrno>
#include <cstring>
#include <new>
#include <poll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <time.h>

#include "crc32.h"
#include <sys/uio.h>
#include "kv_log.h"
#include "login_handshake.h"
#include "task_pool.h"

using namespace kvupg;

#define UPG_LOG(...) KV_LOG(gEnableRemoteUpgradeStatus, __VA_ARGS__)

namespace {

uint64_t now_ms()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

} // namespace

constexpr size_t kMapFrom = 1u << 20;

void KVImageFree::operator()(uint8_t* p) const
{
    if (!p)
        return;
    if (mapped)
        munmap(p, mapped);
    else
        delete[] p;
}

KVUpgradeTimings& kvnet_upgrade_timings()
{
    static KVUpgradeTimings t;
    return t;
}

DevRemoteUpgrade::DevRemoteUpgrade(std::unique_ptr<kvsession::Link> session, const KVUpgradeRequest& req)
    : DevRemoteUpgrade(*session, req)
{
    m_owned = std::move(session);
}

DevRemoteUpgrade::DevRemoteUpgrade(kvsession::Link& session, const KVUpgradeRequest& req)
    : m_session(&session),
      m_path(req.path),
      m_callback(req.callback),
      m_user(req.user),
      m_type(req.type),
      m_pauseMs(req.pauseMs),
      m_msg(new MsgBuf),
      m_t(kvnet_upgrade_timings())
{
    m_masks.first = req.mask;
    memcpy(m_masks.words, req.masks, sizeof m_masks.words);
}

DevRemoteUpgrade::~DevRemoteUpgrade() = default;

bool DevRemoteUpgrade::Start()
{
    return sl_task_add(&DevRemoteUpgrade::TransFun, this) == 0;
}

void* DevRemoteUpgrade::TransFun(void* arg)
{
    auto* self = static_cast<DevRemoteUpgrade*>(arg);
    self->m_thread.store(pthread_self());
    self->m_running.store(true);
    self->Run();
    {
        ScopedLock lock(self->m_mutex);
        self->m_sock.Close();
    }
    self->m_file.Close();
    self->m_running.store(false);
    if (self->m_selfFree) {
        // Stopped from its own callback: nobody waits, the task frees the upgrade.
        delete self;
        return nullptr;
    }
    // Nothing of the object may be touched after this: the stopper frees it.
    self->m_ended.Set();
    return nullptr;
}

void DevRemoteUpgrade::StopAndFree(DevRemoteUpgrade** handle)
{
    if (!handle || !*handle)
        return;
    DevRemoteUpgrade* u = *handle;
    *handle = nullptr;
    {
        ScopedLock lock(u->m_mutex);
        u->m_stop.store(true);
        u->m_sock.Shutdown();
    }
    u->m_stopEvent.Set();
    if (u->m_running.load() && pthread_equal(pthread_self(), u->m_thread.load())) {
        // From the upgrade's own callback: waiting here would wait for ourselves.
        u->m_selfFree = true;
        return;
    }
    u->m_ended.Wait(SyncEvent::kInfinite);
    delete u;
}

void DevRemoteUpgrade::Report(unsigned code, uintptr_t param)
{
    if (Stopped())
        return;
    UPG_LOG("dev(%s,%u) DownloadRecord=%p %s param=%u\n", m_host.c_str(), m_port, static_cast<void*>(this),
            CodeName(code), static_cast<unsigned>(param));
    if (m_callback)
        m_callback(code, reinterpret_cast<void*>(param), m_user);
}

void DevRemoteUpgrade::ReportPtr(unsigned code, const void* param)
{
    Report(code, reinterpret_cast<uintptr_t>(param));
}

void DevRemoteUpgrade::SetTimeouts(unsigned sendMs, unsigned recvMs)
{
    timeval s{static_cast<time_t>(sendMs / 1000), static_cast<suseconds_t>((sendMs % 1000) * 1000)};
    timeval r{static_cast<time_t>(recvMs / 1000), static_cast<suseconds_t>((recvMs % 1000) * 1000)};
    const int fd = m_sock.fd();
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &s, sizeof s);
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &r, sizeof r);
}

void DevRemoteUpgrade::LogRecvEnd(const char* phase)
{
    // After a failed receive the socket tells why: readable (end of stream) or in error
    // when the device closed or reset it, quiet when the device merely said nothing.
    pollfd p{m_sock.fd(), POLLIN | POLLRDHUP, 0};
    const bool closed = poll(&p, 1, 0) == 1;
    if (closed)
        UPG_LOG("%s: the device closed the connection\n", phase);
    else
        UPG_LOG("%s: no message from the device within %u ms\n", phase, m_t.closeRecvMs);
}

bool DevRemoteUpgrade::CheckReply(uint16_t msgType, uint16_t subType, uint32_t seq)
{
    const MsgHeadWrap& h = m_msg->head;
    return h.MsgType == msgType && h.MsgSubType == subType && h.Seq == seq;
}

void DevRemoteUpgrade::Run()
{
    if (!ReadFile())
        return;
    const FileError err = ValidateFirmware(m_type, m_data.get(), m_size, &m_parts);
    if (err != FileError::kNone) {
        UPG_LOG("firmware %s refused: %s\n", m_path.c_str(), FileErrorText(err));
        Report(kInvalidFile);
        return;
    }
    m_progress.Reset(m_size, now_ms(), m_t.progressMs);
    m_crc = 0;
    m_msgType = MsgTypeFor(m_type);
    switch (m_type) {
    case 3:
    case 6:
        PartUpgrade(m_msgType);
        break;
    case 4:
    case 5:
        MultiUpgrade();
        break;
    default:
        PlainUpgrade();
        break;
    }
}

bool DevRemoteUpgrade::ReadFile()
{
    uint64_t size = 0;
    if (m_file.Create(m_path.c_str(), true) != 0 || m_file.GetSize(&size) != 0) {
        UPG_LOG("KVNetMsgRemoteUpgradeReadFileFail\n");
        Report(kReadFileFail);
        return false;
    }
    if (size > kMaxFile) {
        // Sizes travel as u32: such a file cannot be a firmware image.
        UPG_LOG("firmware %s refused: %s\n", m_path.c_str(), FileErrorText(FileError::kTooLarge));
        Report(kInvalidFile);
        return false;
    }
    if (size >= kMapFrom) {
        void* p = mmap(nullptr, static_cast<size_t>(size), PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
        if (p != MAP_FAILED)
            m_data = std::unique_ptr<uint8_t[], KVImageFree>(static_cast<uint8_t*>(p),
                                                             KVImageFree{static_cast<size_t>(size)});
    } else {
        m_data.reset(new (std::nothrow) uint8_t[size ? size : 1]);
    }
    if (!m_data) {
        UPG_LOG("KVNetMsgRemoteUpgradeReadFileFail\n");
        Report(kReadFileFail);
        return false;
    }
    for (uint64_t off = 0; off < size;) {
        const size_t n = static_cast<size_t>(size - off < kPiece ? size - off : kPiece);
        size_t got = 0;
        // A short block means the file changed under us: never send what was not read.
        if (m_file.Read(m_data.get() + off, n, &got) != 0 || got != n) {
            UPG_LOG("KVNetMsgRemoteUpgradeReadFileFail\n");
            Report(kReadFileFail);
            return false;
        }
        off += n;
    }
    m_size = size;
    return true;
}

bool DevRemoteUpgrade::Connect()
{
    bool made = false;
    {
        ScopedLock lock(m_mutex);
        if (Stopped())
            return false;
        m_session->PeerAddress(&m_host, &m_port);
        // The connect is issued under the mutex too: a stop that comes later finds a
        // connecting socket, which its shutdown aborts.
        made = m_session->IsLoggedIn() && m_sock.Socket(m_host.c_str(), m_port, true) &&
               m_sock.SetNonBlock(true) && m_sock.Connect_();
    }
    if (!made) {
        UPG_LOG("SendReq fail\n");
        Report(kClosed);
        return false;
    }
    if (!m_sock.Select(true, static_cast<int>(m_t.connectMs)) || !m_sock.SetNonBlock(false) ||
        !m_session->IsLoggedIn()) {
        UPG_LOG("SendReq fail\n");
        Report(kClosed);
        return false;
    }
    return true;
}

bool DevRemoteUpgrade::StartExchange(uint16_t msgType, const std::vector<uint8_t>& body, unsigned recvMs)
{
    SetTimeouts(m_t.startSendMs, recvMs);
    const MsgHeadWrap h = StartHead(msgType, m_session->HeadSecurityBits(), static_cast<uint32_t>(body.size()));
    // The start exchange repeats the session's key exchange when the session is enveloped.
    kvlogin::Handshake handshake(m_session->SideCredentials());
    if (!handshake.Open(m_sock, h, body.data(), *m_msg, m_session->MainMode() == kModeEnvelope) ||
        !CheckReply(msgType, 0, 0)) {
        UPG_LOG("SendReq fail\n");
        Report(kClosed);
        return false;
    }
    return true;
}

bool DevRemoteUpgrade::SendData(const uint8_t* data, uint64_t len)
{
    // The bytes on the wire are the same whatever the batching: 4096-byte pieces, each
    // behind its own 16-byte head (types 3 to 6) or alone (type 7), in order. Only where
    // the kernel calls split the stream changes: with a pause every piece goes alone and
    // the pause follows it; without one several slots go in one writev.
    const bool heads = m_type != 7;
    const size_t slots = m_pauseMs ? 1 : kSlots;
    iovec iov[2 * kSlots];
    while (len > 0) {
        if (Stopped())
            return false;
        size_t count = 0, v = 0, batch = 0;
        for (; count < slots && batch < len; ++count) {
            const size_t n = static_cast<size_t>(len - batch < kPiece ? len - batch : kPiece);
            if (heads) {
                m_heads[count] = DataHead(m_msgType, static_cast<uint32_t>(n), ++m_counter);
                iov[v++] = {&m_heads[count], sizeof(MsgHeadWrap)};
                iov[v++] = {const_cast<uint8_t*>(data + batch), n};
            } else if (v == 0) {
                iov[v++] = {const_cast<uint8_t*>(data), n}; // raw pieces are contiguous
            } else {
                iov[0].iov_len += n;
            }
            batch += n;
        }
        if (!m_sock.SendV(iov, static_cast<int>(v))) {
            if (!Stopped())
                UPG_LOG("KVNetMsgRemoteUpgradeClosed\n");
            Report(kClosed);
            return false;
        }
        if (heads)
            m_crc = kv_crc32_update(m_crc, data, batch);
        for (size_t i = 0, left = batch; i < count; ++i) {
            const size_t n = left < kPiece ? left : kPiece;
            left -= n;
            unsigned pct;
            if (m_progress.Add(n, now_ms(), &pct))
                Report(kPercent, pct);
        }
        data += batch;
        len -= batch;
        if (m_pauseMs)
            m_stopEvent.Wait(m_pauseMs);
    }
    return !Stopped();
}

bool DevRemoteUpgrade::CloseExchange(uint16_t msgType, bool withEnd)
{
    const uint8_t sec = m_session->HeadSecurityBits();
    if (withEnd) {
        const MsgHeadWrap end = CloseHead(msgType, kSubEnd, sec, ++m_counter);
        if (!m_sock.SendMsg(end, nullptr)) {
            Report(kClosed);
            return false;
        }
    }
    const MsgHeadWrap crc = CloseHead(msgType, kSubCrc, sec, ++m_counter);
    const uint32_t value = m_crc;
    if (!m_sock.SendMsg(crc, &value)) {
        Report(kClosed);
        return false;
    }
    SetTimeouts(m_t.dataSendMs, m_t.closeRecvMs);
    if (!m_sock.RecvMsg(*m_msg)) {
        if (!Stopped())
            LogRecvEnd("check end");
        Report(kClosed);
        return false;
    }
    if (!CheckReply(msgType, kSubCrc, crc.Seq)) {
        UPG_LOG("check end rsp: type %u subtype %u seq %u\n", m_msg->head.MsgType, m_msg->head.MsgSubType,
                m_msg->head.Seq);
        Report(kClosed);
        return false;
    }
    return true;
}

// The device's verdict on the 762 message: true when it now writes its flash.
static unsigned CheckEndVerdict(const MsgBuf& m)
{
    if (m.head.AckFlag != 0)
        return kClosed;
    if (m.head.MsgSize == 0)
        return kOK;
    return m.body()[0] == 0 ? kClosed : kWriteFlash;
}

void DevRemoteUpgrade::PartUpgrade(uint16_t msgType)
{
    if (!Connect())
        return;
    const auto body = PartsStartBody(m_session->SessionId(), m_data.get(), m_parts.size(), FileName(m_path.c_str()));
    if (!StartExchange(msgType, body, m_t.startRecvMs))
        return;
    if (const unsigned code = StartAckCode(m_msg->head.AckFlag)) {
        UPG_LOG("start rsp ack = %u\n", m_msg->head.AckFlag);
        Report(code);
        return;
    }
    uint32_t mask = 0, want = 0;
    if (!ParseWant(m_msg->body(), m_msg->head.MsgSize, &mask, &want)) {
        UPG_LOG("start rsp of %u bytes holds no wanted parts\n", m_msg->head.MsgSize);
        Report(kClosed);
        return;
    }
    UPG_LOG("Rsp want %llu data\n", static_cast<unsigned long long>(want));
    m_progress.SetBase(want);
    if (want != 0) {
        SetTimeouts(m_t.dataSendMs, m_t.startRecvMs);
        for (const Part& p : m_parts) {
            if (!(mask & (1u << p.bit)))
                continue;
            if (!SendData(m_data.get() + p.offset, p.length)) {
                if (!Stopped())
                    UPG_LOG("KVNetMsgRemoteUpgradeReadFileFail\n");
                Report(kReadFileFail);
                return;
            }
        }
        unsigned pct;
        if (m_progress.Finish(&pct))
            Report(kPercent, pct);
    }
    if (CloseAndCheck(msgType, true))
        FlashPhase();
}

// The closing exchange after the data and the device's verdict on it. True when the
// device goes on to write its flash; otherwise the verdict has been reported.
bool DevRemoteUpgrade::CloseAndCheck(uint16_t msgType, bool withEnd)
{
    if (!CloseExchange(msgType, withEnd))
        return false;
    const unsigned verdict = CheckEndVerdict(*m_msg);
    if (verdict != kWriteFlash) {
        if (m_msg->head.AckFlag != 0)
            UPG_LOG("check end rsp ack = %u\n", m_msg->head.AckFlag);
        Report(verdict);
        return false;
    }
    Report(kWriteFlash);
    return true;
}

void DevRemoteUpgrade::FlashPhase()
{
    for (;;) {
        if (!m_sock.RecvMsg(*m_msg)) {
            if (Stopped())
                return;
            // The device restarts into the new firmware: silence and a close both mean
            // it has the image. The log tells the two apart.
            LogRecvEnd("flash");
            Report(kOK);
            return;
        }
        const MsgHeadWrap& h = m_msg->head;
        if (h.MsgSubType == kSubFlash) {
            if (h.MsgSize >= 1)
                Report(kPercent, m_msg->body()[0]);
            continue;
        }
        if (h.MsgSubType == kSubFlashDone) {
            Report(kOK);
            return;
        }
        UPG_LOG("check end rsp ack = %u\n", h.AckFlag);
        Report(kClosed);
        return;
    }
}

void DevRemoteUpgrade::MultiUpgrade()
{
    if (!Connect())
        return;
    const auto body = MultiStartBody(m_session->SessionId(), static_cast<uint32_t>(m_size), m_masks.first,
                                     m_masks.words, FileName(m_path.c_str()));
    if (!StartExchange(kMsgMulti, body, m_t.startRecvMs))
        return;
    if (const unsigned code = StartAckCode(m_msg->head.AckFlag)) {
        UPG_LOG("start rsp ack = %u\n", m_msg->head.AckFlag);
        Report(code);
        return;
    }
    SetTimeouts(m_t.dataSendMs, m_t.startRecvMs);
    if (!SendData(m_data.get(), m_size)) {
        Report(kReadFileFail);
        return;
    }
    unsigned pct;
    if (m_progress.Finish(&pct))
        Report(kPercent, pct);
    if (CloseAndCheck(kMsgMulti, false))
        MultiProgressPhase();
}

void DevRemoteUpgrade::MultiProgressPhase()
{
    std::vector<ProgressRecord> records;
    for (;;) {
        if (!m_sock.RecvMsg(*m_msg)) {
            if (Stopped())
                return;
            LogRecvEnd("channel progress");
            UPG_LOG("check end rsp ack = %u\n", m_msg->head.AckFlag);
            Report(kClosed);
            return;
        }
        if (m_msg->head.MsgSize == 0)
            continue;
        if (!SplitProgress(m_msg->body(), m_msg->head.MsgSize, &records)) {
            UPG_LOG("channel progress of %u bytes is malformed\n", m_msg->head.MsgSize);
            Report(kClosed);
            return;
        }
        for (const ProgressRecord& r : records) {
            ReportPtr(kIPCPercent, r.data);
            if (r.state)
                m_masks.Finish(r.channel);
        }
        if (m_masks.Empty()) {
            // Every channel has finished: a final code so no caller waits for one.
            Report(kOK);
            return;
        }
        if (Stopped())
            return;
    }
}

void DevRemoteUpgrade::PlainUpgrade()
{
    if (!Connect())
        return;
    const auto body = PlainStartBody(m_session->SessionId(), static_cast<uint32_t>(m_size), FileName(m_path.c_str()));
    if (!StartExchange(kMsgPlain, body, m_t.plainRecvMs))
        return;
    uint16_t ack = m_msg->head.AckFlag;
    if (ack == 0) {
        SetTimeouts(m_t.dataSendMs, m_t.plainRecvMs);
        if (!SendData(m_data.get(), m_size)) {
            Report(kReadFileFail);
            return;
        }
        unsigned pct;
        if (m_progress.Finish(&pct))
            Report(kPercent, pct);
        if (!m_sock.RecvMsg(*m_msg)) {
            if (!Stopped())
                UPG_LOG("RecvRsp fail\n");
            Report(kClosed);
            return;
        }
        ack = m_msg->head.AckFlag;
    }
    const char* text = nullptr;
    const unsigned code = PlainAckCode(ack, &text);
    if (code == kClosed && ack != 1)
        UPG_LOG("Upgrade file unknown error, ack:%d\n", ack);
    else
        UPG_LOG("%s", text);
    Report(code);
}
