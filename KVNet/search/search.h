// The search for devices: the shared collector, the search tasks and their seams.
#pragma once
#include <cstdint>

#include "KVNetTypes.h"

// Time-outs of one probed address: the wait for the next datagram (default 250 ms) and
// the cut-off after the request (default 5000 ms). Tests shorten them.
void kv_search_set_timeouts(int recvMs, int totalMs);
int kv_search_recv_timeout_ms();
int kv_search_total_timeout_ms();

// The addresses a to c (host order, a <= c) and the blocks of ten they make; 64-bit so
// that the whole address space (2^32 addresses) counts right.
struct KVSearchRange {
    uint64_t total;
    uint64_t blocks;
};
KVSearchRange kv_search_range(uint32_t a, uint32_t c);

// Most range-search tasks running at once (default 32); each takes blocks of ten
// addresses until none is left.
void kv_search_set_max_range_tasks(unsigned n);

// Seam: called on the task's thread at the start of every block of a range search with
// the block's first address (host order) and its number of addresses.
using KVSearchBlockObserver = void (*)(uint32_t first, uint32_t count);
void kv_search_set_block_observer(KVSearchBlockObserver fn);

// The receive buffer asked for on every search socket (bytes), so that a thousand
// devices answering in the same instant are not dropped by the kernel.
constexpr int kSearchRecvBuffer = 8 << 20;
