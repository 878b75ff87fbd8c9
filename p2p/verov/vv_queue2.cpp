// The bounded chunk queue of the port-forwarding layer.
#include "vv_queue2.h"

#include <stdlib.h>
#include <string.h>

#include <mutex>
#include <new>

struct Queue2 {
  uint32_t chunk_limit;
  uint32_t byte_limit;
  Queue2Chunk* newest = nullptr;
  Queue2Chunk* oldest = nullptr;
  uint32_t chunks = 0;
  uint32_t bytes = 0;
  std::mutex mu;
};

namespace {

void free_chunk(Queue2Chunk* c) {
  free(c->data);
  free(c);
}

// Unlinks the oldest chunk under the mutex; the caller frees it.
Queue2Chunk* unlink_oldest(Queue2* q) {
  std::lock_guard<std::mutex> lock(q->mu);
  Queue2Chunk* c = q->oldest;
  if (!c) return nullptr;
  q->oldest = c->newer;
  if (q->oldest)
    q->oldest->older = nullptr;
  else
    q->newest = nullptr;
  q->chunks -= 1;
  q->bytes -= c->length;
  return c;
}

}  // namespace

Queue2* Queue2Create(uint32_t byte_limit, uint32_t chunk_limit) {
  Queue2* q = new (std::nothrow) Queue2;
  if (!q) return nullptr;
  q->byte_limit = byte_limit;
  q->chunk_limit = chunk_limit;
  return q;
}

int Queue2PutData(Queue2* q, const void* data, uint32_t length, uint32_t tag_a, uint16_t tag_b,
                  uint16_t tag_c) {
  if (!q) return -1;
  // A cheap early refusal spares the allocation; the binding check is repeated under the
  // mutex, since several producers put at once.
  {
    std::lock_guard<std::mutex> lock(q->mu);
    if (q->chunks >= q->chunk_limit || static_cast<uint64_t>(q->bytes) + length > q->byte_limit)
      return -1;
  }
  auto* c = static_cast<Queue2Chunk*>(calloc(1, sizeof(Queue2Chunk)));
  if (!c) return -2;
  if (length > 0) {
    c->data = static_cast<unsigned char*>(malloc(length));
    if (!c->data) {
      free(c);
      return -3;
    }
    if (data) memcpy(c->data, data, length);
  }
  c->tag_a = tag_a;
  c->tag_b = tag_b;
  c->tag_c = tag_c;
  c->length = length;
  {
    std::lock_guard<std::mutex> lock(q->mu);
    if (q->chunks >= q->chunk_limit || static_cast<uint64_t>(q->bytes) + length > q->byte_limit) {
      c->length = 0;
    } else {
      c->older = q->newest;
      if (q->newest) q->newest->newer = c;
      q->newest = c;
      if (!q->oldest) q->oldest = c;
      q->chunks += 1;
      q->bytes += length;
      return static_cast<int>(length);
    }
  }
  free_chunk(c);
  return -1;
}

Queue2Chunk* Queue2GetData(Queue2* q) {
  if (!q) return nullptr;
  std::lock_guard<std::mutex> lock(q->mu);
  return q->oldest;
}

int Queue2PopData(Queue2* q) {
  if (!q) return -1;
  Queue2Chunk* c = unlink_oldest(q);
  if (!c) return -1;
  free_chunk(c);
  return 0;
}

int Queue2PopDataEx(Queue2* q, void* buf, uint32_t size) {
  if (!q) return -1;
  Queue2Chunk* c = unlink_oldest(q);
  if (!c) return -1;
  int r = 0;
  if (buf && c->length <= size) {
    if (c->length) memcpy(buf, c->data, c->length);
    r = static_cast<int>(c->length);
  }
  free_chunk(c);
  return r;
}

int Queue2Clean(Queue2* q) {
  if (!q) return -1;
  Queue2Chunk* list;
  {
    std::lock_guard<std::mutex> lock(q->mu);
    list = q->oldest;
    q->oldest = q->newest = nullptr;
    q->chunks = 0;
    q->bytes = 0;
  }
  while (list) {
    Queue2Chunk* next = list->newer;
    free_chunk(list);
    list = next;
  }
  return 0;
}

void Queue2Release(Queue2* q) {
  if (!q) return;
  Queue2Clean(q);
  delete q;
}

uint32_t Queue2Chunks(Queue2* q) {
  if (!q) return 0;
  std::lock_guard<std::mutex> lock(q->mu);
  return q->chunks;
}

uint32_t Queue2Bytes(Queue2* q) {
  if (!q) return 0;
  std::lock_guard<std::mutex> lock(q->mu);
  return q->bytes;
}
