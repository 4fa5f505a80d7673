#pragma once
// Unbounded lock-free FIFO of non-null opaque pointers.
//
// It carries received lines from a serial link's reader thread to the action
// thread without either of them ever taking a lock. Consumed nodes are not
// freed at once: they go to a retired list and are released by a reclamation
// pass once at least three whole seconds (monotonic) have passed since their
// retirement and since the retirement of the node behind them (until then
// they were the newest retired node, which retiring consumers read), so a
// thread that still holds a pointer to such a node never touches freed
// memory. Passes run inside lfqueue_enq and lfqueue_deq.
//
// Any number of threads may call lfqueue_enq, lfqueue_deq, lfqueue_deq_must
// and lfqueue_size at once. The single-consumer operations are correct only
// with one producer and one consumer. lfqueue_destroy is for exclusive use.

#include <atomic>
#include <cstddef>
#include <cstdint>

using lfqueue_alloc_fn = void *(*)(void *user_data, size_t count);
using lfqueue_free_fn = void (*)(void *user_data, void *ptr);

struct lfqueue_node {
  std::atomic<void *> value;
  std::atomic<lfqueue_node *> next;
  std::atomic<lfqueue_node *> retired_next;
  std::atomic<int64_t> retired_at;  // monotonic whole seconds; INT64_MAX until retired
};

struct lfqueue {
  std::atomic<lfqueue_node *> head;          // the dummy node
  std::atomic<lfqueue_node *> tail;
  std::atomic<lfqueue_node *> retired_head;
  std::atomic<lfqueue_node *> retired_tail;  // never null once initialised
  std::atomic<int64_t> size;
  std::atomic<int32_t> reclaiming;
  lfqueue_alloc_fn alloc_fn;
  lfqueue_free_fn free_fn;
  void *user_data;
};

// lfqueue_init_mf with malloc/free. Returns 0, or errno on failure.
int lfqueue_init(lfqueue *queue);
// Stores the callbacks and makes the two initial nodes. Returns 0, or the errno
// value after perror("malloc") when a node cannot be obtained (queue unusable).
int lfqueue_init_mf(lfqueue *queue, void *user_data, lfqueue_alloc_fn alloc_fn,
                    lfqueue_free_fn free_fn);
// Appends a non-null value. Returns 0, or -1 after perror("malloc") when no
// node could be obtained (value not queued, size unchanged, queue still usable).
int lfqueue_enq(lfqueue *queue, void *value);
// One multi-consumer dequeue attempt: the oldest value, or null when empty.
void *lfqueue_deq(lfqueue *queue);
// Dequeues, sleeping 1 ms between empty attempts, until a value comes.
void *lfqueue_deq_must(lfqueue *queue);
// Single-consumer forms: release the consumed node at once.
void *lfqueue_single_deq(lfqueue *queue);
void *lfqueue_single_deq_must(lfqueue *queue);
// Number of queued values (may lag the chain for a moment; with one consumer a
// non-zero size guarantees that consumer's next dequeue yields a value).
int64_t lfqueue_size(lfqueue *queue);
// Passes every queued value to free_fn, releases every node; size becomes 0.
// The queue must be initialised again before further use.
void lfqueue_destroy(lfqueue *queue);
// usleep(ms * 1000), the product taken in 32-bit int.
void lfqueue_sleep(unsigned int ms);
