// The bounded chunk queue: limits, counts, tags, and several producers at once.
#include <gtest/gtest.h>
#include <string.h>

#include <atomic>
#include <thread>
#include <vector>

#include "vv_queue2.h"

namespace {

struct QueueDeleter {
  void operator()(Queue2* q) const { Queue2Release(q); }
};
using QueuePtr = std::unique_ptr<Queue2, QueueDeleter>;

TEST(Queue2, ChunkLimitRefusesThenAcceptsAfterPop) {
  QueuePtr q(Queue2Create(1000000, 1000));
  for (int i = 0; i < 1000; ++i) ASSERT_EQ(Queue2PutData(q.get(), "x", 1, i, 0, 0), 1);
  EXPECT_EQ(Queue2PutData(q.get(), "x", 1, 1000, 0, 0), -1);
  EXPECT_EQ(Queue2Chunks(q.get()), 1000u);
  EXPECT_EQ(Queue2PopData(q.get()), 0);
  EXPECT_EQ(Queue2PutData(q.get(), "x", 1, 1000, 0, 0), 1);
}

TEST(Queue2, ByteLimitIsInclusive) {
  QueuePtr q(Queue2Create(100, 10));
  char buf[100] = {};
  ASSERT_EQ(Queue2PutData(q.get(), buf, 60, 1, 0, 0), 60);
  EXPECT_EQ(Queue2PutData(q.get(), buf, 41, 2, 0, 0), -1);
  EXPECT_EQ(Queue2Chunks(q.get()), 1u);
  EXPECT_EQ(Queue2Bytes(q.get()), 60u);
  EXPECT_EQ(Queue2PutData(q.get(), buf, 40, 3, 0, 0), 40);
  EXPECT_EQ(Queue2Bytes(q.get()), 100u);
}

TEST(Queue2, EmptyPutAddsChunkWithoutData) {
  QueuePtr q(Queue2Create(10, 10));
  EXPECT_EQ(Queue2PutData(q.get(), nullptr, 0, 7, 8, 9), 0);
  Queue2Chunk* c = Queue2GetData(q.get());
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(c->data, nullptr);
  EXPECT_EQ(c->length, 0u);
  EXPECT_EQ(c->tag_a, 7u);
  EXPECT_EQ(c->tag_b, 8);
  EXPECT_EQ(c->tag_c, 9);
  EXPECT_EQ(Queue2Chunks(q.get()), 1u);
}

TEST(Queue2, EmptyAndMissingQueue) {
  QueuePtr q(Queue2Create(10, 10));
  EXPECT_EQ(Queue2GetData(q.get()), nullptr);
  EXPECT_EQ(Queue2PopData(q.get()), -1);
  EXPECT_EQ(Queue2PopDataEx(q.get(), nullptr, 0), -1);
  EXPECT_EQ(Queue2PutData(nullptr, "a", 1, 0, 0, 0), -1);
  EXPECT_EQ(Queue2GetData(nullptr), nullptr);
  EXPECT_EQ(Queue2PopData(nullptr), -1);
  EXPECT_EQ(Queue2PopDataEx(nullptr, nullptr, 0), -1);
  EXPECT_EQ(Queue2Clean(nullptr), -1);
  Queue2Release(nullptr);
}

TEST(Queue2, PopDataExCopiesOnlyWhatFits) {
  QueuePtr q(Queue2Create(100, 10));
  ASSERT_EQ(Queue2PutData(q.get(), "hello", 5, 0, 0, 0), 5);
  ASSERT_EQ(Queue2PutData(q.get(), "world", 5, 0, 0, 0), 5);
  ASSERT_EQ(Queue2PutData(q.get(), "abc", 3, 0, 0, 0), 3);
  char small[4] = {};
  EXPECT_EQ(Queue2PopDataEx(q.get(), small, sizeof(small)), 0);  // removed all the same
  EXPECT_EQ(Queue2Chunks(q.get()), 2u);
  char out[8] = {};
  EXPECT_EQ(Queue2PopDataEx(q.get(), out, sizeof(out)), 5);
  EXPECT_EQ(memcmp(out, "world", 5), 0);
  EXPECT_EQ(Queue2PopDataEx(q.get(), nullptr, 100), 0);
  EXPECT_EQ(Queue2Bytes(q.get()), 0u);
}

TEST(Queue2, CleanResetsCountsAndLimits) {
  QueuePtr q(Queue2Create(10, 2));
  ASSERT_EQ(Queue2PutData(q.get(), "12345", 5, 0, 0, 0), 5);
  ASSERT_EQ(Queue2PutData(q.get(), "12345", 5, 0, 0, 0), 5);
  EXPECT_EQ(Queue2PutData(q.get(), "1", 1, 0, 0, 0), -1);
  EXPECT_EQ(Queue2Clean(q.get()), 0);
  EXPECT_EQ(Queue2Chunks(q.get()), 0u);
  EXPECT_EQ(Queue2Bytes(q.get()), 0u);
  EXPECT_EQ(Queue2GetData(q.get()), nullptr);
  EXPECT_EQ(Queue2PutData(q.get(), "1234567890", 10, 0, 0, 0), 10);
}

TEST(Queue2, FifoOrderAndConsumedCount) {
  QueuePtr q(Queue2Create(100, 10));
  for (int i = 0; i < 5; ++i) {
    unsigned char b = static_cast<unsigned char>(i);
    ASSERT_EQ(Queue2PutData(q.get(), &b, 1, static_cast<uint32_t>(i), 0, 0), 1);
  }
  Queue2Chunk* c = Queue2GetData(q.get());
  c->consumed += 1;  // the consumer's note survives until the pop
  EXPECT_EQ(Queue2GetData(q.get())->consumed, 1u);
  for (uint32_t i = 0; i < 5; ++i) {
    c = Queue2GetData(q.get());
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->tag_a, i);
    EXPECT_EQ(c->data[0], i);
    ASSERT_EQ(Queue2PopData(q.get()), 0);
  }
}

// Four producers race against the limits while one consumer drains: the limits are never
// passed, and every accepted byte comes out once, in each producer's order.
TEST(Queue2, FourProducersNeverPassTheLimits) {
  const uint32_t kBytes = 4096, kChunks = 64;
  QueuePtr q(Queue2Create(kBytes, kChunks));
  const int kProducers = 4, kPuts = 20000;
  std::atomic<int> done{0};
  std::atomic<uint64_t> accepted_bytes{0};
  std::vector<std::thread> producers;
  for (int p = 0; p < kProducers; ++p) {
    producers.emplace_back([&, p] {
      unsigned char buf[200];
      uint32_t seq = 0;
      for (int i = 0; i < kPuts; ++i) {
        uint32_t len = 1 + static_cast<uint32_t>((i * 37 + p * 11) % 199);
        memset(buf, static_cast<int>(seq & 0xff), len);
        int r = Queue2PutData(q.get(), buf, len, seq, static_cast<uint16_t>(p), 0);
        if (r == static_cast<int>(len)) {
          accepted_bytes += len;
          ++seq;
        } else {
          ASSERT_EQ(r, -1);
          std::this_thread::yield();
        }
      }
      ++done;
    });
  }
  uint64_t consumed = 0;
  uint32_t next_seq[kProducers] = {};
  bool ok = true;
  for (;;) {
    uint32_t n = Queue2Chunks(q.get()), b = Queue2Bytes(q.get());
    if (n > kChunks || b > kBytes) ok = false;
    Queue2Chunk* c = Queue2GetData(q.get());
    if (!c) {
      if (done.load() == kProducers && !Queue2GetData(q.get())) break;
      std::this_thread::yield();
      continue;
    }
    if (c->tag_a != next_seq[c->tag_b]) ok = false;
    next_seq[c->tag_b] = c->tag_a + 1;
    for (uint32_t i = 0; i < c->length; ++i)
      if (c->data[i] != (c->tag_a & 0xff)) ok = false;
    consumed += c->length;
    ASSERT_EQ(Queue2PopData(q.get()), 0);
  }
  for (auto& t : producers) t.join();
  EXPECT_TRUE(ok);
  EXPECT_EQ(consumed, accepted_bytes.load());
  EXPECT_GT(consumed, 0u);
}

}  // namespace
