// Throughput of the line queue next to two general-purpose lock-free queues,
// used here only as a yardstick: one producer and one consumer, then two and
// two. Each iteration moves a fixed number of values through a fresh queue,
// so building and tearing the queue down (for ours: releasing every retired
// node) is counted too.
//
//   build/bench/lfqueue_bench --benchmark_min_time=1

#include <benchmark/benchmark.h>

#include <atomic>
#include <boost/lockfree/queue.hpp>
#include <concurrentqueue/concurrentqueue.h>
#include <cstdint>
#include <thread>
#include <vector>

#include "lfqueue.h"

namespace {

constexpr int64_t kItems = 200000;

struct trelk_queue {
  lfqueue q{};
  trelk_queue() { lfqueue_init(&q); }
  ~trelk_queue() { lfqueue_destroy(&q); }
  void push(void *v) { lfqueue_enq(&q, v); }
  bool pop() { return lfqueue_deq(&q) != nullptr; }
};

// The single-consumer dequeue: only valid with one producer and one consumer.
struct trelk_single_queue : trelk_queue {
  bool pop() { return lfqueue_single_deq(&q) != nullptr; }
};

struct boost_queue {
  boost::lockfree::queue<void *> q{1024};
  void push(void *v) {
    while (!q.push(v)) {
    }
  }
  bool pop() {
    void *v;
    return q.pop(v);
  }
};

struct moodycamel_queue {
  moodycamel::ConcurrentQueue<void *> q;
  void push(void *v) { q.enqueue(v); }
  bool pop() {
    void *v;
    return q.try_dequeue(v);
  }
};

template <class Queue>
void transfer(benchmark::State &state) {
  const int producers = static_cast<int>(state.range(0));
  const int consumers = static_cast<int>(state.range(1));
  for (auto _ : state) {
    Queue queue;
    std::atomic<int64_t> consumed{0};
    std::vector<std::thread> threads;
    for (int p = 0; p < producers; ++p) {
      threads.emplace_back([&queue, producers] {
        for (int64_t i = 1; i <= kItems / producers; ++i)
          queue.push(reinterpret_cast<void *>(static_cast<uintptr_t>(i)));
      });
    }
    for (int c = 0; c < consumers; ++c) {
      threads.emplace_back([&queue, &consumed] {
        // Counts are published in batches so the shared counter does not
        // dominate what is measured.
        int64_t local = 0;
        for (;;) {
          if (queue.pop()) {
            if (++local == 256) {
              consumed.fetch_add(local, std::memory_order_relaxed);
              local = 0;
            }
            continue;
          }
          consumed.fetch_add(local, std::memory_order_relaxed);
          local = 0;
          if (consumed.load(std::memory_order_relaxed) >= kItems) break;
          std::this_thread::yield();
        }
      });
    }
    for (auto &t : threads) t.join();
  }
  state.SetItemsProcessed(state.iterations() * kItems);
}

void pairs(benchmark::internal::Benchmark *b) {
  b->Args({1, 1})->Args({2, 2})->ArgNames({"producers", "consumers"})->UseRealTime();
}

BENCHMARK(transfer<trelk_queue>)->Apply(pairs)->Name("lfqueue");
BENCHMARK(transfer<trelk_single_queue>)->Args({1, 1})->ArgNames({"producers", "consumers"})
    ->UseRealTime()->Name("lfqueue_single_deq");
BENCHMARK(transfer<boost_queue>)->Apply(pairs)->Name("boost_lockfree_queue");
BENCHMARK(transfer<moodycamel_queue>)->Apply(pairs)->Name("moodycamel_ConcurrentQueue");

}  // namespace

BENCHMARK_MAIN();
