// The doubly linked list and the unbalanced binary search tree. Neither locks: each user
// guards its list or tree with its own lock.
#include <stdlib.h>

#include "orvan_platform.h"

// ---- tlist ----------------------------------------------------------------------------------

tlist_t* tlistNew() { return static_cast<tlist_t*>(calloc(1, sizeof(tlist_t))); }

int tlistRemoveall(tlist_t* l) {
  if (!l) return TERROR_EINVAL;
  tlist_node_t* n = l->head;
  while (n) {
    tlist_node_t* next = n->next;
    free(n);
    n = next;
  }
  l->head = l->tail = nullptr;
  l->length = 0;
  return 0;
}

int tlistDestroy(tlist_t* l) {
  if (!l) return TERROR_EINVAL;
  tlistRemoveall(l);
  free(l);
  return 0;
}

static tlist_node_t* new_node(void* data) {
  auto* n = static_cast<tlist_node_t*>(calloc(1, sizeof(tlist_node_t)));
  if (n) n->data = data;
  return n;
}

int tlistAppend(tlist_t* l, void* data) {
  if (!l) return TERROR_EINVAL;
  tlist_node_t* n = new_node(data);
  if (!n) return TERROR_ENOMEM;
  n->prev = l->tail;
  if (l->tail) l->tail->next = n;
  else l->head = n;
  l->tail = n;
  l->length++;
  return 0;
}

int tlistPrepend(tlist_t* l, void* data) {
  if (!l) return TERROR_EINVAL;
  tlist_node_t* n = new_node(data);
  if (!n) return TERROR_ENOMEM;
  n->next = l->head;
  if (l->head) l->head->prev = n;
  else l->tail = n;
  l->head = n;
  l->length++;
  return 0;
}

int tlistInsert(tlist_t* l, void* data, int position) {
  if (!l) return TERROR_EINVAL;
  if (position == 0) return tlistPrepend(l, data);
  if (position < 1 || position >= l->length) return TERROR_ELNRNG;
  tlist_node_t* at = tlistAtIndex(l, position);
  tlist_node_t* n = new_node(data);
  if (!n) return TERROR_ENOMEM;
  n->next = at;
  n->prev = at->prev;
  at->prev->next = n;  // position >= 1, so at has a predecessor
  at->prev = n;
  l->length++;
  return 0;
}

tlist_node_t* tlistFind(tlist_t* l, const void* data) {
  if (!l) return nullptr;
  for (tlist_node_t* n = l->head; n; n = n->next)
    if (n->data == data) return n;
  return nullptr;
}

int tlistRemoveNode(tlist_t* l, tlist_node_t* node) {
  if (!l || !node) return TERROR_EINVAL;
  if (node->prev) node->prev->next = node->next;
  else l->head = node->next;
  if (node->next) node->next->prev = node->prev;
  else l->tail = node->prev;
  l->length--;
  free(node);
  return 0;
}

int tlistRemove(tlist_t* l, const void* data) {
  if (!l) return TERROR_EINVAL;
  tlist_node_t* n = tlistFind(l, data);
  if (!n) return TERROR_ENOENT;
  return tlistRemoveNode(l, n);
}

int tlistLength(const tlist_t* l) { return l ? l->length : 0; }
tlist_node_t* tlistHead(tlist_t* l) { return l ? l->head : nullptr; }
tlist_node_t* tlistTail(tlist_t* l) { return l ? l->tail : nullptr; }

tlist_node_t* tlistAtIndex(tlist_t* l, int i) {
  if (!l || i < 0) return nullptr;
  tlist_node_t* n = l->head;
  while (n && i-- > 0) n = n->next;
  return n;
}

int tlistForeach(tlist_t* l, void (*fn)(void*, void*), void* user) {
  if (!l || !fn) return TERROR_EINVAL;
  for (tlist_node_t* n = l->head; n;) {
    tlist_node_t* next = n->next;
    fn(n->data, user);
    n = next;
  }
  return 0;
}

// ---- orvan_bst ------------------------------------------------------------------------------

orvan_bst_node_t* orvan_bst_new_node(void* data) {
  auto* n = static_cast<orvan_bst_node_t*>(calloc(1, sizeof(orvan_bst_node_t)));
  if (n) n->data = data;
  return n;
}

void orvan_bst_free_node(orvan_bst_node_t* node) { free(node); }

orvan_bst_node_t** orvan_bst_search(orvan_bst_node_t** slot, orvan_bst_compare_fn cmp,
                                    const void* key) {
  while (*slot) {
    int c = cmp(key, (*slot)->data);
    if (c == 0) break;
    slot = c < 0 ? &(*slot)->left : &(*slot)->right;
  }
  return slot;
}

orvan_bst_node_t* orvan_bst_insert(orvan_bst_node_t** slot, orvan_bst_compare_fn cmp, void* data) {
  orvan_bst_node_t** at = orvan_bst_search(slot, cmp, data);
  if (*at) return *at;
  *at = orvan_bst_new_node(data);
  return *at;
}

void orvan_bst_delete(orvan_bst_node_t** slot) {
  orvan_bst_node_t* n = *slot;
  if (!n) return;
  if (!n->left) {
    *slot = n->right;
    free(n);
    return;
  }
  if (!n->right) {
    *slot = n->left;
    free(n);
    return;
  }
  // Two children: the in-order predecessor gives up its data and is the node unlinked.
  orvan_bst_node_t** pred = &n->left;
  while ((*pred)->right) pred = &(*pred)->right;
  orvan_bst_node_t* p = *pred;
  void* tmp = n->data;
  n->data = p->data;
  p->data = tmp;
  *pred = p->left;
  free(p);
}

int orvan_bst_walkpre(orvan_bst_node_t* node, orvan_bst_visit_fn visit, int32_t action) {
  if (!node) return 0;
  int r = visit(node, action);
  if (r < 0) return 1;
  int count = r > 0 ? 1 : 0;
  count += orvan_bst_walkpre(node->left, visit, action);
  count += orvan_bst_walkpre(node->right, visit, action);
  return count;
}

int orvan_bst_walk_purge(orvan_bst_node_t** slot, orvan_bst_pred_fn pred) {
  orvan_bst_node_t* n = *slot;
  if (!n) return 0;
  int count = orvan_bst_walk_purge(&n->left, pred);
  count += orvan_bst_walk_purge(&n->right, pred);
  // A deletion may have swapped data into this node; the slot still holds it.
  if (pred((*slot)->data)) {
    free((*slot)->data);
    (*slot)->data = nullptr;
    orvan_bst_delete(slot);
    count++;
  }
  return count;
}

uint32_t orvan_gcd(uint32_t a, uint32_t b) {
  while (b != 0) {
    uint32_t t = a % b;
    a = b;
    b = t;
  }
  return a;
}
