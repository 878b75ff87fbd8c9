#include "upgrade.h"

#include <cerrno>
#include <cstring>
#include <new>
#include <poll.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
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
    if (self->m_fd >= 0) {
        ::close(self->m_fd);
        self->m_fd = -1;
    }
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
    if (!OpenImage())
        return;
    FileError err = ValidateFirmwareTable(m_type, m_head.data(), m_size, &m_parts);
    if (err == FileError::kNone && IsPartType(m_type)) {
        uint32_t value = 0, want;
        if (!StreamCheckValue(&value))
            return;
        memcpy(&want, m_head.data() + 4, 4);
        if (value != want)
            err = FileError::kCheckValue;
    }
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

bool DevRemoteUpgrade::OpenImage()
{
    struct stat st{};
    m_fd = ::open(m_path.c_str(), O_RDONLY | O_CLOEXEC);
    m_window.reset(new (std::nothrow) uint8_t[kSlots * kPiece]);
    if (m_fd < 0 || fstat(m_fd, &st) != 0 || !S_ISREG(st.st_mode) || !m_window) {
        UPG_LOG("KVNetMsgRemoteUpgradeReadFileFail\n");
        Report(kReadFileFail);
        return false;
    }
    m_size = static_cast<uint64_t>(st.st_size);
    m_ino = st.st_ino;
    m_dev = st.st_dev;
    m_mtimeNs = static_cast<uint64_t>(st.st_mtim.tv_sec) * 1000000000u + static_cast<uint64_t>(st.st_mtim.tv_nsec);
    if (!IsPartType(m_type) || m_size > kMaxFile)
        return true;
    // The head, then the part table it announces (when the file can hold it).
    size_t need = static_cast<size_t>(m_size < kFileHead ? m_size : kFileHead);
    if (m_size >= kFileHead) {
        uint8_t head[kFileHead];
        if (!ReadAt(0, head, kFileHead)) {
            Report(kReadFileFail);
            return false;
        }
        uint32_t count;
        memcpy(&count, head + 12, 4);
        const uint64_t end = kFileHead + kPartEntry * static_cast<uint64_t>(count);
        if (end <= m_size)
            need = static_cast<size_t>(end);
    }
    try {
        m_head.resize(need);
    } catch (const std::bad_alloc&) {
        UPG_LOG("KVNetMsgRemoteUpgradeReadFileFail\n");
        Report(kReadFileFail);
        return false;
    }
    if (!ReadAt(0, m_head.data(), need)) {
        Report(kReadFileFail);
        return false;
    }
    return true;
}

bool DevRemoteUpgrade::ReadAt(uint64_t off, uint8_t* dst, size_t n)
{
    while (n > 0) {
        const ssize_t r = pread(m_fd, dst, n, static_cast<off_t>(off));
        if (r < 0 && errno == EINTR)
            continue;
        // A short read means the file changed under us: never send what was not read.
        if (r <= 0) {
            UPG_LOG("firmware %s: read at %llu failed\n", m_path.c_str(), static_cast<unsigned long long>(off));
            return false;
        }
        dst += r;
        off += static_cast<uint64_t>(r);
        n -= static_cast<size_t>(r);
    }
    return true;
}

bool DevRemoteUpgrade::ImageUnchanged()
{
    struct stat st{};
    const bool same = fstat(m_fd, &st) == 0 && static_cast<uint64_t>(st.st_size) == m_size &&
                      st.st_ino == m_ino && st.st_dev == m_dev &&
                      static_cast<uint64_t>(st.st_mtim.tv_sec) * 1000000000u +
                              static_cast<uint64_t>(st.st_mtim.tv_nsec) == m_mtimeNs;
    if (!same)
        UPG_LOG("firmware %s changed since it was checked\n", m_path.c_str());
    return same;
}

bool DevRemoteUpgrade::StreamCheckValue(uint32_t* value)
{
    // Bytes 0-3, then from byte 8 to the end, as FileCheckValue over a whole image.
    uint8_t* w = m_window.get();
    const size_t room = kSlots * kPiece;
    uint32_t crc = kv_crc32_update(0, m_head.data(), 4);
    for (uint64_t off = 8; off < m_size;) {
        const size_t n = static_cast<size_t>(m_size - off < room ? m_size - off : room);
        if (!ReadAt(off, w, n)) {
            Report(kReadFileFail);
            return false;
        }
        crc = kv_crc32_update(crc, w, n);
        off += n;
    }
    *value = crc;
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

bool DevRemoteUpgrade::SendData(uint64_t offset, uint64_t len)
{
    // The bytes on the wire are the same whatever the batching: 4096-byte pieces, each
    // behind its own 16-byte head (types 3 to 6) or alone (type 7), in order. Only where
    // the kernel calls split the stream changes: with a pause every piece goes alone and
    // the pause follows it; without one several slots go in one writev, their pieces read
    // into the window straight behind the heads' iovecs.
    // A file that changed since it was checked, or cannot be read, fails the send; the
    // caller reports 392.
    if (!ImageUnchanged())
        return false;
    const bool heads = m_type != 7;
    const size_t slots = m_pauseMs ? 1 : kSlots;
    uint8_t* window = m_window.get();
    iovec iov[2 * kSlots];
    while (len > 0) {
        if (Stopped())
            return false;
        const uint64_t room = static_cast<uint64_t>(slots) * kPiece;
        const size_t batch = static_cast<size_t>(len < room ? len : room);
        // Checked again after every read: a write in place during the transfer changes
        // the time before its bytes can be read, so no batch of a mixed image goes out.
        if (!ReadAt(offset, window, batch) || !ImageUnchanged())
            return false;
        size_t count = 0, v = 0;
        for (size_t at = 0; at < batch; ++count) {
            const size_t n = batch - at < kPiece ? batch - at : kPiece;
            if (heads) {
                m_heads[count] = DataHead(m_msgType, static_cast<uint32_t>(n), ++m_counter);
                iov[v++] = {&m_heads[count], sizeof(MsgHeadWrap)};
                iov[v++] = {window + at, n};
            }
            at += n;
        }
        if (!heads)
            iov[v++] = {window, batch}; // raw pieces are contiguous
        if (!m_sock.SendV(iov, static_cast<int>(v))) {
            if (!Stopped())
                UPG_LOG("KVNetMsgRemoteUpgradeClosed\n");
            Report(kClosed);
            return false;
        }
        if (heads)
            m_crc = kv_crc32_update(m_crc, window, batch);
        for (size_t i = 0, left = batch; i < count; ++i) {
            const size_t n = left < kPiece ? left : kPiece;
            left -= n;
            unsigned pct;
            if (m_progress.Add(n, now_ms(), &pct))
                Report(kPercent, pct);
        }
        offset += batch;
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
    const auto body = PartsStartBody(m_session->SessionId(), m_head.data(), m_parts.size(), FileName(m_path.c_str()));
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
            if (!SendData(p.offset, p.length)) {
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
    if (!SendData(0, m_size)) {
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
        if (!SendData(0, m_size)) {
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
