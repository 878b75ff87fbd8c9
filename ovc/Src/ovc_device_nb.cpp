// The non-blocking device login: the same steps as the blocking one, run by tasks, with every
// state reported to the caller's callback (1 started, 2 sockets open, 4 logged in, then 8, 16 and
// 32 from the servers' answers, -1 with the failure's code).
#include <string.h>

#include "ovc_device_internal.h"

extern "C" int _IsUIDVaild(const char* uid);
int ovc_group_server_count(int group);
bool ovc_group_server_at(int group, int index, ovc_netaddr_t* out);
extern std::atomic<uint8_t> gHelloAnswered;

namespace {

std::atomic<int32_t> nbStep{0};
std::atomic<int32_t> nbQueryState{0};  // 0 not sent, 1 sent, 2 failed, 3 group known, 4 server reached
std::atomic<int32_t> nbQueryResult{0};
std::atomic<bool> gFallbackStarted{false};

constexpr int kStartType = 11, kQueryType = 8, kHelloType = 9;

void nb_fail(int code) {
  SessionTaskCleanNodesWithType(&gLoginSession.taskList, kStartType);
  ovc_close_master_tcp(&gLoginSession);
  gLoginCalled = false;
  ovc_device_report_state(-1, code);
}

void hello_every_server() {
  for (int g = 0; g < 32; ++g) {
    ovc_netaddr_t a;
    for (int i = 0; ovc_group_server_at(g, i, &a); ++i) {
      uint8_t d[16 + 8] = {};
      ovc_build_head(d, 0x8003, 0x3F, 8);
      memcpy(d + 20, &gLocalRandomId, 2);
      char text[64];
      uint16_t port;
      if (ovc_netaddr_to_text(a, text, sizeof text, &port)) ovc_SendMessage(gUdpConn, d, sizeof d, text, port);
    }
  }
}

void HelloTaskCB(orvan_task_t* task, uint32_t, uint16_t, void*, int final) {
  if (final) {
    if (nbQueryState == 3) {
      nbQueryResult = -1;
      nbQueryState = 2;
    }
    SessionTaskDeleteNode(&gLoginSession.taskList, task, false);
    return;
  }
  if (gHelloAnswered) {
    nbQueryState = 4;
    SessionTaskDeleteNode(&gLoginSession.taskList, task, true);
    return;
  }
  hello_every_server();
}

int add_task(uint32_t period, uint32_t lifetime, orvan_task_cb cb, int type) {
  orvan_task_t* t = orvan_TaskMng_Create(period, lifetime, 0, cb, nullptr);
  if (!t) return OVC_ER_RESOURCE;
  SessionTaskAddNode(&gLoginSession.taskList, type, t);
  return 0;
}

void QuerySenderCB(orvan_task_t* task, uint32_t, uint16_t, void*, int final) {
  if (final || nbQueryState >= 2) {
    SessionTaskDeleteNode(&gLoginSession.taskList, task, !final);
    return;
  }
  ovc_device_send_own_query();
  if (nbQueryState == 0) nbQueryState = 1;
}

void QueryWatcherCB(orvan_task_t*, uint32_t, uint16_t, void*, int final) {
  if (nbQueryState == 1 || nbQueryState == 0) {
    int g = ovc_device_own_group();
    if (gUidRefused) {
      nbQueryResult = OVC_ER_INVALID_UID;
      nbQueryState = 2;
    } else if (gNoPermission.exchange(false) || gLoginSession.failNoPermission) {
      nbQueryResult = OVC_ER_NO_PERMISSION;
      nbQueryState = 2;
    } else if (g >= 0) {
      nbQueryResult = g;
      nbQueryState = 3;
      if (!gTcpMode) add_task(100, ovc_device_scaled(5000), HelloTaskCB, kHelloType);
    } else if (final) {
      nbQueryResult = OVC_ER_MASTER_SILENT;
      nbQueryState = 2;
    }
  }
  if (nbQueryState >= 2 || final) {
    SessionTaskCleanNodesWithType(&gLoginSession.taskList, kQueryType);
    ovc_close_master_tcp(&gLoginSession);
  }
}

int query_start() {
  int g = ovc_device_own_group();
  if (g >= 0) {
    nbQueryResult = g;
    nbQueryState = 3;
    if (!gTcpMode) return add_task(100, ovc_device_scaled(5000), HelloTaskCB, kHelloType);
    return 0;
  }
  nbQueryState = 0;
  int rc = add_task(ovc_device_scaled(500), ovc_device_scaled(5000), QuerySenderCB, kQueryType);
  if (rc == 0) rc = add_task(100, ovc_device_scaled(5000), QueryWatcherCB, kQueryType);
  return rc;
}

void logged_in() {
  nbStep = 8;
  SessionTaskCleanNodesWithType(&gLoginSession.taskList, kHelloType);
  if (ovc_device_start_periodic_tasks(ovc_device_scaled(1000), 1) != 0) {
    nb_fail(OVC_ER_SOCKET);
    return;
  }
  if (gTcpMode) ovc_device_send_registration();
  SessionTaskCleanNodesWithType(&gLoginSession.taskList, kStartType);
  ovc_device_report_state(4, 0);
}

void StateMachineCB(orvan_task_t*, uint32_t, uint16_t, void*, int final) {
  if (!gLoginCalled) return;
  int step = nbStep;
  int q = nbQueryState;
  if (step == 0 || step == 10) {
    if (q == 2 && nbQueryResult == OVC_ER_MASTER_SILENT) {
      int t = gNbTcpStep;
      if (t == 0) {
        int rc = OVC_TcpConnectToMasterNB(&gLoginSession);
        if (rc != 0) return nb_fail(rc);
      } else if (t == 3) {
        // No master takes TCP either: only a reached fallback server makes another try worth it.
        if (gFallbackState != 1) return nb_fail(OVC_ER_NO_SERVER);
        int rc = OVC_TcpConnectToMasterNB(&gLoginSession);
        if (rc != 0) return nb_fail(rc);
        nbStep = 6;
      } else if (t == 2) {
        gTcpMode = true;
        gNatType = 10;
        int rc = query_start();
        if (rc != 0) return nb_fail(rc);
        nbStep = 4;
      }
    } else if (q == 2) {
      return nb_fail(nbQueryResult);
    } else if (q == 4) {
      return logged_in();
    }
  } else if (step == 4) {
    if (q == 2) return nb_fail(nbQueryResult);
    if (q == 3) {
      int g = ovc_device_own_group();
      if (g >= 0 && ovc_group_server_count(g) > 0) {
        nbStep = 9;
        if (ovc_device_tcp_servers_start() != 0) {
          nbQueryState = 2;
          return nb_fail(OVC_ER_SERVER_TCP);
        }
      }
    }
  } else if (step == 9) {
    int st = ovc_device_tcp_servers_state();
    if (st == 1) {
      ovc_device_tcp_servers_settle();
      nbQueryState = 4;
      nbStep = 10;
    } else if (st == 2) {
      ovc_device_tcp_servers_settle();
      nbQueryState = 2;
      return nb_fail(OVC_ER_SERVER_TCP);
    }
  } else if (step == 6) {
    if (gNbTcpStep == 3) return nb_fail(OVC_ER_MASTER_TCP);
    if (gNbTcpStep == 2) {
      gTcpMode = true;
      gNatType = 10;
      nbStep = 4;
      int rc = query_start();
      if (rc != 0) return nb_fail(rc);
    }
  }
  if (final && gLoginCalled && nbStep != 8) nb_fail(gFallbackState == 3 ? OVC_ER_NO_SERVER : OVC_ER_TIMEOUT);
}

void StartTaskCB(orvan_task_t* task, uint32_t, uint16_t, void*, int final) {
  if (!gLoginCalled) return;
  int ms = ovc_get_master_state();
  if (gOvcState == 1 || ms == 1) {
    int rc = query_start();
    if (rc == 0 && !gFallbackStarted.exchange(true)) rc = ovc_device_tcp_fallback_nb();
    if (rc != 0) return nb_fail(rc);
    gNbTcpStep = 0;
    nbStep = 0;
    if (add_task(20, ovc_device_scaled(60000), StateMachineCB, kStartType) != 0) return nb_fail(OVC_ER_RESOURCE);
    gFallbackStarted = false;
    SessionTaskDeleteNode(&gLoginSession.taskList, task, !final);
    return;
  }
  if (!final) {
    if (!gFallbackStarted.exchange(true)) {
      int rc = ovc_device_tcp_fallback_nb();
      if (rc != 0) return nb_fail(rc);
    }
    // Resolution failed for good: the fallback test tells "no names" from "no network".
    if (ms == 2 && gFallbackState != 0) nb_fail(gFallbackState == 1 ? OVC_ER_MASTER_UNRESOLVED : OVC_ER_NO_SERVER);
    return;
  }
  nb_fail(OVC_ER_MASTER_UNRESOLVED);
}

}  // namespace

int OVC_Device_LoginNB(const char* uid, const char* name, const char* password, OvcNbCallback callback,
                       void* user) {
  if (gBadUidCount > 2) return OVC_ER_INVALID_UID;
  if (!ovc_initialized()) return OVC_ER_NOT_INITIALIZED;
  if (gLoginCalled.exchange(true)) return OVC_ER_LOGIN_STARTED;
  if (!_IsUIDVaild(uid)) {
    gBadUidCount++;
    gLoginCalled = false;
    return OVC_ER_INVALID_UID;
  }
  {
    ovc_close_master_tcp(&gLoginSession);
    OvcSessionLockGuard g;
    SessionTaskCleanAllNodes(&gLoginSession.taskList);
    ovc_session_reset(&gLoginSession);
    gUidRefused = false;
    gNoPermission = false;
    gTrackClosedIds = true;
    gTcpMode = false;
    gFallbackStarted = false;
    nbStep = 0;
    nbQueryState = 0;
    gLoginSession.nbCallback = callback;
    gLoginSession.nbUser = user;
    ovc_device_report_state(1, 0);
    ovc_device_store_identity(uid, name, password);
  }
  int rc = ovc_open_udp_socket();
  if (rc != 0) {
    nb_fail(rc);
    return rc;
  }
  gLoginInfoFlags |= 1;
  gLoginReplyCount = 0;
  ovc_device_report_state(2, 0);
  if (gOvcState != 1 && ovc_get_master_state() != 1) {
    ovc_set_master_state(0);
    ovc_start_master_resolver_thread();
  }
  OvcSessionLockGuard g;
  if (add_task(10, ovc_device_scaled(30000), StartTaskCB, kStartType) != 0) {
    nb_fail(OVC_ER_RESOURCE);
    return OVC_ER_RESOURCE;
  }
  return 0;
}
