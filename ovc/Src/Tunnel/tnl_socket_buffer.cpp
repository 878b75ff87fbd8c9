#include "Tunnel/tnl_socket_buffer.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>

static uint64_t limit_of(const SocketBuffer* b) {
  return b->limit ? b->limit : kSocketBufferDefaultLimit;
}

int SocketBuffer_Initialize(SocketBuffer* b, uint64_t capacity, uint64_t limit) {
  if (capacity < 16) capacity = 16;
  b->size = 0;
  b->offset = 0;
  b->limit = limit;
  b->data = (uint8_t*)malloc((size_t)capacity);
  b->capacity = b->data ? capacity : 0;
  return b->data ? 1 : 0;
}

void SocketBuffer_Deinitialize(SocketBuffer* b) {
  free(b->data);
  b->data = nullptr;
  b->size = b->capacity = b->offset = 0;
}

void SocketBuffer_Clear(SocketBuffer* b) {
  if (b->data) b->size = b->offset = 0;
}

int SocketBuffer_Reserve(SocketBuffer* b, uint64_t needed) {
  if (!b->data) return -1;
  if (needed <= b->capacity) return 0;
  if (needed > limit_of(b)) return 1;
  uint64_t cap = b->capacity;
  while (cap < needed) cap *= 2;
  uint8_t* grown = (uint8_t*)realloc(b->data, (size_t)cap);
  if (!grown) return 1;
  uint64_t old = b->capacity;
  b->data = grown;
  b->capacity = cap;
  if (b->offset + b->size > old) {
    // The held bytes wrapped: the part from the offset to the old end moves to the new end.
    uint64_t tail = old - b->offset;
    memmove(b->data + cap - tail, b->data + b->offset, (size_t)tail);
    b->offset += cap - old;
  }
  return 0;
}

int SocketBuffer_Push(SocketBuffer* b, const void* bytes, uint64_t n) {
  if (!b->data) return -1;
  if (n == 0) return 0;
  if (n > limit_of(b) - b->size || SocketBuffer_Reserve(b, b->size + n) != 0) return 1;
  uint64_t pos = (b->offset + b->size) % b->capacity;
  uint64_t first = b->capacity - pos < n ? b->capacity - pos : n;
  memcpy(b->data + pos, bytes, (size_t)first);
  memcpy(b->data, (const uint8_t*)bytes + first, (size_t)(n - first));
  b->size += n;
  return 0;
}

void SocketBuffer_Pop(SocketBuffer* b, uint64_t n) {
  if (!b->data) return;
  if (n > b->size) n = b->size;
  b->offset = (b->offset + n) % b->capacity;
  b->size -= n;
  if (b->size == 0) b->offset = 0;
}

long SocketBuffer_Send(SocketBuffer* b, int fd) {
  if (!b->data) return -1;
  if (b->size == 0) return 0;
  uint64_t first = b->capacity - b->offset;
  if (first >= b->size) {
    ssize_t k = send(fd, b->data + b->offset, (size_t)b->size, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (k > 0) SocketBuffer_Pop(b, (uint64_t)k);
    return (long)k;
  }
  ssize_t k = send(fd, b->data + b->offset, (size_t)first, MSG_NOSIGNAL | MSG_DONTWAIT);
  if (k <= 0) return (long)k;
  SocketBuffer_Pop(b, (uint64_t)k);
  if ((uint64_t)k < first) return (long)k;
  int saved = errno;
  ssize_t k2 = send(fd, b->data, (size_t)b->size, MSG_NOSIGNAL | MSG_DONTWAIT);
  if (k2 > 0) {
    SocketBuffer_Pop(b, (uint64_t)k2);
    return (long)(k + k2);
  }
  errno = saved;
  return (long)k;
}

uint64_t SocketBuffer_Peek(const SocketBuffer* b, void* out, uint64_t n) {
  if (!b->data) return 0;
  if (n > b->size) n = b->size;
  uint64_t first = b->capacity - b->offset < n ? b->capacity - b->offset : n;
  memcpy(out, b->data + b->offset, (size_t)first);
  memcpy((uint8_t*)out + first, b->data, (size_t)(n - first));
  return n;
}
