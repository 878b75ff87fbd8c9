// The connection manager: every socket of the OVC layer, served by one thread ("ovc_conn_hdlr")
// that waits with poll and is woken by an eventfd. Objects are reference counted and expose
// their operations through a table in a fixed order; callers go through the table.
#pragma once

#include <netinet/in.h>
#include <stdint.h>
#include <sys/socket.h>

#include <atomic>

#include "orvan_platform.h"

struct TConnection;
struct TConnManager;

struct TObject {
  const void* ops;
  std::atomic<int32_t> refs;
  void (*destroy)(TObject*);
};
int TObject_incRef(TObject* o);
int TObject_decRef(TObject* o);

enum { TCONN_TCP = 0, TCONN_UDP = 1 };
enum { TCONN_CLIENT = 0, TCONN_SERVER = 1 };
enum { TCONN_FLAG_NO_REUSEADDR = 1 };
enum {
  TCONN_STATE_IDLE = 0,
  TCONN_STATE_CONNECTING = 1,
  TCONN_STATE_READY = 2,
  TCONN_STATE_LISTENING = 3,
  TCONN_STATE_CLOSED = 4,
  TCONN_STATE_FAILED = 6,
};
enum {
  TCONN_ERR_NETUNREACH = 1,
  TCONN_ERR_TIMEDOUT = 3,
  TCONN_ERR_UNRESOLVED = 4,
  TCONN_ERR_REFUSED = 6,
  TCONN_ERR_OTHER = 7,
  TCONN_ERR_CLOSED = 8,
};
constexpr int TCONN_BUFFER_SIZE = 1540;
constexpr int TCONN_MAX_CONNECTIONS = 1024;

int convertErrorToConnErr(int err);

using TConnReadyCb = void (*)(TConnection* c, void* user);
using TConnFailCb = void (*)(TConnection* c, int kind, void* user);
using TConnRecvCb = void (*)(TConnection* c, const char* peer, uint16_t port, uint8_t* buf,
                             uint32_t len, void* user);
using TConnErrorCb = void (*)(TConnection* c, int kind, void* user);
using TConnBreakCb = void (*)(TConnManager* m, void* user);

struct TConnectionOps {
  int (*incRef)(TConnection*);
  int (*decRef)(TConnection*);
  int (*setup)(TConnection*, const char* host, uint16_t* port, void* reserved, TConnReadyCb ready,
               void* readyUser, TConnFailCb fail, void* failUser);
  int (*send)(TConnection*, const void* data, int* length);
  int (*sendTo)(TConnection*, const char* host, uint16_t port, const void* data, int* length);
  int (*setRecvCallback)(TConnection*, TConnRecvCb fn, void* user);
  int (*setErrorCallback)(TConnection*, TConnErrorCb fn, void* user);
  int (*getState)(TConnection*, int* state);
  int (*getLocalAddress)(TConnection*, char* text, int size, uint16_t* port);
  int (*setTTL)(TConnection*, int ttl);
  int (*setOption)(TConnection*, int option, const int* value);
  int (*getOption)(TConnection*, int option, int* value);
  int (*keepPartial)(TConnection*);
};

struct TConnManagerOps {
  int (*incRef)(TConnManager*);
  int (*decRef)(TConnManager*);
  int (*createConnection)(TConnManager*, int transport, int role, int flags, TConnection** out);
  int (*destroyConnection)(TConnManager*, TConnection*);
  int (*setTimeout)(TConnManager*, uint32_t ms);
  int (*setBreakTimeCallBack)(TConnManager*, TConnBreakCb fn, void* user);
};

struct TConnection {
  TObject base;
  int fd;
  int acceptedFd;
  int transport;
  int role;
  int flags;
  TConnManager* mgr;
  sockaddr_storage setupAddr;
  sockaddr_storage peerAddr;
  sockaddr_storage localAddr;
  std::atomic<int> state;
  std::atomic<int> recvSize;
  // Callbacks are changed under the manager's mutex and read by its thread under it.
  TConnRecvCb recvCb;
  void* recvUser;
  TConnErrorCb errorCb;
  void* errorUser;
  TConnReadyCb readyCb;
  void* readyUser;
  TConnFailCb failCb;
  void* failUser;
  // The receive side belongs to the manager's thread and the callbacks it runs.
  int appendFlag;
  long bufLen;
  uint8_t buf[TCONN_BUFFER_SIZE];
  // What the thread waits for; guarded by the manager's mutex.
  bool wantRead;
  bool wantWrite;
  bool acceptedWantRead;
  // Set by destroyConnection under the manager's mutex: no callback starts after it.
  bool released;

  const TConnectionOps* ops() const { return static_cast<const TConnectionOps*>(base.ops); }
};

int TConnManager_create(TConnManager** out);
const TConnManagerOps* TConnManager_ops(TConnManager* m);
int TConnection_new(int transport, int role, int flags, TConnection** out);

// ---- Configuration and figures of the manager (process-wide) ---------------------------------
// How long a TCP send waits for room before it gives up (default 5000 ms), so a stalled peer
// cannot hold the sending thread.
void TConnManager_setSendDeadline(uint32_t ms);
// Where a UDP connection "connects" its scratch socket to learn its local address. No datagram
// is sent. Default ::ffff:203.0.113.1 port 10240.
void TConnManager_setProbeAddress(const char* ipv6_text, uint16_t port_host);
// Whether UDP sockets join the link-local all-nodes group ff02::1 (default off: nothing built on
// this layer yet uses it, and a join announces itself on the link).
void TConnManager_setLinkMulticast(int on);
// Passes of the manager's thread since it started (wake-ups).
uint64_t TConnManager_passes(TConnManager* m);
// The manager in use, or null.
TConnManager* TConnManager_current();

// Convenience wrappers: the table, with the object as first argument.
inline int TConn_setup(TConnection* c, const char* host, uint16_t* port, TConnReadyCb r, void* ru,
                       TConnFailCb f, void* fu) {
  return c->ops()->setup(c, host, port, nullptr, r, ru, f, fu);
}
