// The lock-free queue: order, no loss or duplication under concurrency, size,
// allocation failure, delayed reclamation and destruction.

#include "lfqueue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

// Values are never dereferenced by the queue; small integers stand in for them.
void *as_value(uintptr_t n) { return reinterpret_cast<void *>(n); }
uintptr_t as_number(void *v) { return reinterpret_cast<uintptr_t>(v); }

// An allocator that records what is live and fails on request. Single-threaded use.
struct tracking_allocator {
  std::set<void *> live;
  int allocations = 0;
  int fail_at = -1;  // the allocation with this index (0-based) returns null
  bool fail_all = false;
};

void *tracking_alloc(void *user_data, size_t count) {
  auto *a = static_cast<tracking_allocator *>(user_data);
  const int index = a->allocations++;
  if (a->fail_all || index == a->fail_at) {
    errno = ENOMEM;
    return nullptr;
  }
  void *p = std::malloc(count);
  a->live.insert(p);
  return p;
}

void tracking_free(void *user_data, void *p) {
  auto *a = static_cast<tracking_allocator *>(user_data);
  ASSERT_EQ(a->live.erase(p), 1u) << "released twice or never allocated";
  std::free(p);
}

int64_t monotonic_seconds() {
  struct timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec;
}

TEST(Lfqueue, FifoAndSizeSingleThread) {
  lfqueue q{};
  ASSERT_EQ(lfqueue_init(&q), 0);
  EXPECT_EQ(lfqueue_size(&q), 0);
  EXPECT_EQ(lfqueue_deq(&q), nullptr);
  EXPECT_EQ(lfqueue_size(&q), 0);

  for (uintptr_t i = 1; i <= 3; ++i) ASSERT_EQ(lfqueue_enq(&q, as_value(i)), 0);
  EXPECT_EQ(lfqueue_size(&q), 3);
  for (uintptr_t i = 1; i <= 3; ++i) EXPECT_EQ(as_number(lfqueue_deq(&q)), i);
  EXPECT_EQ(lfqueue_size(&q), 0);
  EXPECT_EQ(lfqueue_deq(&q), nullptr);

  // The single-consumer forms keep the same order and size.
  for (uintptr_t i = 10; i < 15; ++i) ASSERT_EQ(lfqueue_enq(&q, as_value(i)), 0);
  EXPECT_EQ(as_number(lfqueue_single_deq(&q)), 10u);
  EXPECT_EQ(as_number(lfqueue_deq(&q)), 11u);
  EXPECT_EQ(as_number(lfqueue_single_deq_must(&q)), 12u);
  EXPECT_EQ(as_number(lfqueue_deq_must(&q)), 13u);
  EXPECT_EQ(lfqueue_size(&q), 1);
  EXPECT_EQ(as_number(lfqueue_single_deq(&q)), 14u);
  EXPECT_EQ(lfqueue_single_deq(&q), nullptr);
  EXPECT_EQ(lfqueue_size(&q), 0);
  lfqueue_destroy(&q);
}

// Several producers and consumers: every value comes out exactly once, and
// each producer's values come out in the order it queued them, as seen by
// every consumer.
TEST(Lfqueue, ManyProducersManyConsumersLoseNothing) {
  constexpr int producers = 4;
  constexpr int consumers = 4;
  constexpr uintptr_t per_producer = 20000;
  lfqueue q{};
  ASSERT_EQ(lfqueue_init(&q), 0);

  std::atomic<uintptr_t> taken{0};
  std::vector<std::vector<uintptr_t>> seen(consumers);
  std::atomic<bool> order_ok{true};
  std::vector<std::thread> threads;
  for (int p = 0; p < producers; ++p) {
    threads.emplace_back([&q, p] {
      for (uintptr_t i = 0; i < per_producer; ++i)
        ASSERT_EQ(lfqueue_enq(&q, as_value((uintptr_t(p) << 32) | (i + 1))), 0);
    });
  }
  for (int c = 0; c < consumers; ++c) {
    threads.emplace_back([&, c] {
      std::vector<uintptr_t> last(producers, 0);
      while (taken.load() < producers * per_producer) {
        void *v = lfqueue_deq(&q);
        if (v == nullptr) {
          std::this_thread::yield();
          continue;
        }
        taken.fetch_add(1);
        const uintptr_t n = as_number(v);
        const uintptr_t p = n >> 32, seq = n & 0xffffffffu;
        if (seq <= last[p]) order_ok = false;
        last[p] = seq;
        seen[c].push_back(n);
      }
    });
  }
  for (auto &t : threads) t.join();

  EXPECT_TRUE(order_ok.load()) << "a producer's values came out of order";
  std::vector<uintptr_t> all;
  for (auto &v : seen) all.insert(all.end(), v.begin(), v.end());
  ASSERT_EQ(all.size(), producers * per_producer);
  std::set<uintptr_t> unique(all.begin(), all.end());
  EXPECT_EQ(unique.size(), all.size()) << "a value came out twice";
  EXPECT_EQ(lfqueue_size(&q), 0);
  EXPECT_EQ(lfqueue_deq(&q), nullptr);
  lfqueue_destroy(&q);
}

// The single-consumer dequeue, which releases nodes at once, with its one
// producer and one consumer.
TEST(Lfqueue, SingleProducerSingleConsumerInOrder) {
  constexpr uintptr_t count = 50000;
  lfqueue q{};
  ASSERT_EQ(lfqueue_init(&q), 0);
  std::thread producer([&q] {
    for (uintptr_t i = 1; i <= count; ++i) ASSERT_EQ(lfqueue_enq(&q, as_value(i)), 0);
  });
  uintptr_t expected = 1;
  while (expected <= count) {
    void *v = lfqueue_single_deq(&q);
    if (v == nullptr) {
      std::this_thread::yield();
      continue;
    }
    ASSERT_EQ(as_number(v), expected);
    ++expected;
  }
  producer.join();
  EXPECT_EQ(lfqueue_size(&q), 0);
  lfqueue_destroy(&q);
}

TEST(Lfqueue, MustDequeueWaitsForAProducer) {
  lfqueue q{};
  ASSERT_EQ(lfqueue_init(&q), 0);
  for (auto must : {lfqueue_deq_must, lfqueue_single_deq_must}) {
    std::atomic<bool> enqueued{false};
    std::thread producer([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(30));
      enqueued = true;
      lfqueue_enq(&q, as_value(7));
    });
    void *v = must(&q);
    EXPECT_TRUE(enqueued.load());
    EXPECT_EQ(as_number(v), 7u);
    // The producer counts its value after linking it, so the consumer can
    // take it first and see -1 for a moment: the count settles once the
    // producer is done.
    producer.join();
    EXPECT_EQ(lfqueue_size(&q), 0);
  }
  lfqueue_destroy(&q);
}

TEST(Lfqueue, AllocationFailureAtInitReportsAndLeaksNothing) {
  for (int fail_at : {0, 1}) {
    tracking_allocator a;
    a.fail_at = fail_at;
    lfqueue q{};
    testing::internal::CaptureStderr();
    EXPECT_EQ(lfqueue_init_mf(&q, &a, tracking_alloc, tracking_free), ENOMEM);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err.rfind("malloc: ", 0), 0u) << err;
    EXPECT_TRUE(a.live.empty()) << "the first node leaked when the second failed";
    lfqueue_destroy(&q);  // harmless on a queue that never started
  }
}

TEST(Lfqueue, AllocationFailureAtEnqueueKeepsQueueUsable) {
  tracking_allocator a;
  lfqueue q{};
  ASSERT_EQ(lfqueue_init_mf(&q, &a, tracking_alloc, tracking_free), 0);
  ASSERT_EQ(lfqueue_enq(&q, as_value(1)), 0);

  a.fail_all = true;
  testing::internal::CaptureStderr();
  EXPECT_EQ(lfqueue_enq(&q, as_value(2)), -1);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(err, std::string("malloc: ") + std::strerror(ENOMEM) + "\n");
  EXPECT_EQ(lfqueue_size(&q), 1);

  a.fail_all = false;
  ASSERT_EQ(lfqueue_enq(&q, as_value(3)), 0);
  EXPECT_EQ(as_number(lfqueue_deq(&q)), 1u);
  EXPECT_EQ(as_number(lfqueue_deq(&q)), 3u);
  EXPECT_EQ(lfqueue_deq(&q), nullptr);
  lfqueue_destroy(&q);
  EXPECT_TRUE(a.live.empty());
}

// Destruction hands queued values to the release callback and leaves nothing
// allocated, the current dummy and the retired list included.
TEST(Lfqueue, DestroyReleasesValuesAndNodes) {
  tracking_allocator a;
  lfqueue q{};
  ASSERT_EQ(lfqueue_init_mf(&q, &a, tracking_alloc, tracking_free), 0);
  std::vector<void *> values;
  for (int i = 0; i < 5; ++i) {
    void *v = tracking_alloc(&a, 16);
    values.push_back(v);
    ASSERT_EQ(lfqueue_enq(&q, v), 0);
  }
  EXPECT_EQ(lfqueue_deq(&q), values[0]);
  tracking_free(&a, values[0]);
  EXPECT_EQ(lfqueue_deq(&q), values[1]);
  tracking_free(&a, values[1]);
  lfqueue_destroy(&q);
  EXPECT_EQ(lfqueue_size(&q), 0);
  EXPECT_TRUE(a.live.empty()) << a.live.size() << " blocks still allocated";

  // The record can be initialised again and used.
  ASSERT_EQ(lfqueue_init_mf(&q, &a, tracking_alloc, tracking_free), 0);
  ASSERT_EQ(lfqueue_enq(&q, as_value(9)), 0);
  EXPECT_EQ(as_number(lfqueue_deq(&q)), 9u);
  lfqueue_destroy(&q);
  EXPECT_TRUE(a.live.empty());
}

// Consumed nodes stay allocated through the grace period and are released by
// the first pass after it, except the newest retired node, and a node whose
// successor on the retired list is still young. Sleeps ~3 s once.
TEST(Lfqueue, RetiredNodesAreReleasedAfterGracePeriod) {
  tracking_allocator a;
  lfqueue q{};
  ASSERT_EQ(lfqueue_init_mf(&q, &a, tracking_alloc, tracking_free), 0);
  ASSERT_EQ(a.live.size(), 2u);  // dummy and retired-list anchor

  for (uintptr_t i = 1; i <= 3; ++i) ASSERT_EQ(lfqueue_enq(&q, as_value(i)), 0);
  for (uintptr_t i = 1; i <= 3; ++i) ASSERT_EQ(as_number(lfqueue_deq(&q)), i);
  const int64_t retired_second = monotonic_seconds();  // no stamp is later
  // Nothing is released yet: anchor, three young former dummies, the dummy.
  EXPECT_EQ(a.live.size(), 5u);
  EXPECT_EQ(lfqueue_deq(&q), nullptr);  // an empty dequeue runs a pass too
  EXPECT_EQ(a.live.size(), 5u);

  // Sleep until the monotonic seconds have advanced by three.
  while (monotonic_seconds() < retired_second + 3)
    std::this_thread::sleep_for(std::chrono::milliseconds(100));

  // One append: its pass releases the anchor and the two older former
  // dummies; the newest stays however old it is. Live: that node, the dummy,
  // the new node.
  ASSERT_EQ(lfqueue_enq(&q, as_value(4)), 0);
  EXPECT_EQ(a.live.size(), 3u);
  // The dequeue retires the dummy behind the old newest one. That node stays:
  // a consumer retiring at the same moment may just have read it as the newest.
  ASSERT_EQ(as_number(lfqueue_deq(&q)), 4u);
  EXPECT_EQ(a.live.size(), 3u);
  lfqueue_destroy(&q);
  EXPECT_TRUE(a.live.empty());
}

}  // namespace
