// The request layer's side of DevConnection: its tables, the dispatch of replies to them,
// and the view of a session that the request calls use.
#include "dev_connection.h"
#include "dev_requests.h"

namespace kvreq {

namespace {

// The tables of one session together with the session view over its DevConnection.
class DevRequestSession final : public RequestTables, public RequestSession {
public:
    explicit DevRequestSession(DevConnection* c) : c_(c) {}
    bool SendOnMain(const MsgHeadWrap& head, const void* body) override
    {
        // During the close-down the send mutex is held by this very thread.
        if (InCloseDown())
            return false;
        return c_->SendOnMain(head, body);
    }
    uint8_t HeadSecurityBits() override { return c_->HeadSecurityBits(); }
    bool IsLoggedIn() override { return c_->IsLoggedIn(); }
    uint32_t SessionId() override { return c_->SessionId(); }
    bool PeerAddress(std::string* host, uint16_t* port) override
    {
        c_->GetAddress(host, port);
        return !host->empty() && *port != 0;
    }
    DevConnection* Connection() override { return c_; }
    RequestTables& Requests() override { return *this; }
    bool OnConnectionTask() override { return c_->OnConnectionTask(); }
    int MainMode() override { return c_->MainMode(); }

private:
    DevConnection* c_;
};

} // namespace

RequestSession* SessionOf(DevConnection* handle)
{
    RequestTables* t = handle ? handle->Requests() : nullptr;
    return t ? static_cast<DevRequestSession*>(t) : nullptr;
}

} // namespace kvreq

void DevConnection::CreateRequestTables()
{
    if (!m_requests)
        m_requests = new kvreq::DevRequestSession(this);
}

void DevConnection::DestroyRequestTables()
{
    delete static_cast<kvreq::DevRequestSession*>(m_requests);
    m_requests = nullptr;
}

bool DevConnection::DispatchToSyncWaiters(MsgBuf& msg)
{
    return m_requests && m_requests->DispatchToSyncWaiters(msg);
}

bool DevConnection::CompleteAsyncRequest(MsgBuf& msg)
{
    return m_requests && m_requests->CompleteAsyncRequest(msg);
}

void DevConnection::WakeAllSyncWaiters()
{
    if (m_requests)
        m_requests->WakeAllSyncWaiters();
}

void DevConnection::ClearAsyncRequests()
{
    if (m_requests)
        m_requests->ClearAsyncRequests();
}
