// The task list of a session: nodes {task, type} under the task-list lock; tasks are deleted
// after the lock is let go.
#include <stdlib.h>

#include "ovc_state.h"

extern orv_mutex_t gSessionTaskLock;

void SessionTaskAddNode(void** list, int type, orvan_task_t* task) {
  if (!list || !task) return;
  auto* n = static_cast<SessionTaskNode*>(calloc(1, sizeof(SessionTaskNode)));
  if (!n) return;
  n->task = task;
  n->type = type;
  orv_mutex_lock(&gSessionTaskLock, 1);
  auto** at = reinterpret_cast<SessionTaskNode**>(list);
  while (*at) at = &(*at)->next;
  *at = n;
  orv_mutex_unlock(&gSessionTaskLock);
}

static SessionTaskNode* unlink_if(void** list, bool (*pred)(const SessionTaskNode*, const void*), const void* arg) {
  SessionTaskNode* out = nullptr;
  SessionTaskNode** tail = &out;
  orv_mutex_lock(&gSessionTaskLock, 1);
  auto** at = reinterpret_cast<SessionTaskNode**>(list);
  while (*at) {
    SessionTaskNode* n = *at;
    if (pred(n, arg)) {
      *at = n->next;
      n->next = nullptr;
      *tail = n;
      tail = &n->next;
    } else {
      at = &n->next;
    }
  }
  orv_mutex_unlock(&gSessionTaskLock);
  return out;
}

static void free_nodes(SessionTaskNode* n, bool deleteTasks) {
  while (n) {
    SessionTaskNode* next = n->next;
    if (deleteTasks) orvan_TaskMng_Delete(n->task);
    free(n);
    n = next;
  }
}

void SessionTaskCleanNodesWithType(void** list, int type) {
  if (!list) return;
  free_nodes(unlink_if(list, [](const SessionTaskNode* n, const void* a) { return n->type == *static_cast<const int*>(a); }, &type), true);
}

void SessionTaskDeleteNode(void** list, orvan_task_t* task, bool deleteTask) {
  if (!list || !task) return;
  SessionTaskNode* n = unlink_if(list, [](const SessionTaskNode* x, const void* a) { return x->task == a; }, task);
  if (n) free_nodes(n, deleteTask);
}

void SessionTaskCleanAllNodes(void** list) {
  if (!list) return;
  orv_mutex_lock(&gSessionTaskLock, 1);
  auto* all = static_cast<SessionTaskNode*>(*list);
  *list = nullptr;
  orv_mutex_unlock(&gSessionTaskLock);
  free_nodes(all, true);
}

int SessionTaskCount(void** list, int type) {
  if (!list) return 0;
  int n = 0;
  orv_mutex_lock(&gSessionTaskLock, 1);
  for (auto* x = static_cast<SessionTaskNode*>(*list); x; x = x->next)
    if (type < 0 || x->type == type) ++n;
  orv_mutex_unlock(&gSessionTaskLock);
  return n;
}
