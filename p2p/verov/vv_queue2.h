// A first-in, first-out queue of data chunks with a chunk limit and a byte limit; a put that
// would pass either is refused, which is the forwarding layer's back-pressure.
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct Queue2Chunk {
  uint32_t tag_a;  // connection id
  uint16_t tag_b;  // client id
  uint16_t tag_c;  // frame type
  unsigned char* data;  // private copy; NULL for a chunk of length 0
  uint32_t consumed;    // bytes of the chunk the consumer has already sent
  uint32_t length;
  struct Queue2Chunk* newer;
  struct Queue2Chunk* older;
} Queue2Chunk;

typedef struct Queue2 Queue2;

Queue2* Queue2Create(uint32_t byte_limit, uint32_t chunk_limit);
// The length on success; -1 missing queue or a limit would be passed; -2/-3 no memory.
int Queue2PutData(Queue2* q, const void* data, uint32_t length, uint32_t tag_a, uint16_t tag_b,
                  uint16_t tag_c);
// The oldest chunk, still owned by the queue; valid until the consumer pops or cleans.
Queue2Chunk* Queue2GetData(Queue2* q);
int Queue2PopData(Queue2* q);
// Removes the oldest chunk; copies it when `buf` is given and it fits `size` (result: its
// length), else 0; -1 missing or empty.
int Queue2PopDataEx(Queue2* q, void* buf, uint32_t size);
int Queue2Clean(Queue2* q);
void Queue2Release(Queue2* q);

// Current counts, for the consumer's bookkeeping and for tests.
uint32_t Queue2Chunks(Queue2* q);
uint32_t Queue2Bytes(Queue2* q);

#ifdef __cplusplus
}
#endif
