// A channel's ring of bytes received from the peer and not yet written to its socket. It
// grows by doubling, but never beyond its limit: a peer that keeps sending after a pause
// would otherwise grow it without end, so a push beyond the limit fails and the caller
// closes the channel.
#pragma once

#include <stddef.h>
#include <stdint.h>

struct SocketBuffer {
  uint64_t size = 0;      // bytes held
  uint64_t capacity = 0;
  uint8_t* data = nullptr;
  uint64_t offset = 0;    // where the held bytes start; they may wrap past the end
  uint64_t limit = 0;     // most bytes it may hold (0: the default)
};

constexpr uint64_t kSocketBufferDefaultLimit = 4u << 20;

// 1 when the data was allocated, else 0. capacity below 16 becomes 16.
int SocketBuffer_Initialize(SocketBuffer* b, uint64_t capacity, uint64_t limit = 0);
void SocketBuffer_Deinitialize(SocketBuffer* b);
void SocketBuffer_Clear(SocketBuffer* b);
inline uint64_t SocketBuffer_Size(const SocketBuffer* b) { return b->size; }
inline uint64_t SocketBuffer_Capacity(const SocketBuffer* b) { return b->capacity; }
// -1 without data; 1 when the memory could not be had or needed exceeds the limit; else 0.
int SocketBuffer_Reserve(SocketBuffer* b, uint64_t needed);
// -1 without data; 1 when it does not fit (buffer unchanged); else 0.
int SocketBuffer_Push(SocketBuffer* b, const void* bytes, uint64_t n);
void SocketBuffer_Pop(SocketBuffer* b, uint64_t n);
// Writes what it can to a non-blocking socket; the bytes that went are popped. -1 without
// data (or the send's -1 with errno), 0 when empty, else the bytes sent.
long SocketBuffer_Send(SocketBuffer* b, int fd);
// Copies up to n held bytes from the front without popping them (for tests and readers).
uint64_t SocketBuffer_Peek(const SocketBuffer* b, void* out, uint64_t n);
