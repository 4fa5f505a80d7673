#include "lfqueue.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <new>
#include <unistd.h>

namespace {

// A consumed node may still be read by a thread that loaded its address just
// before it was unlinked; such a thread is done with it well within this many
// whole seconds, so only then is the node released.
constexpr int64_t LFQ_GRACE_SECONDS = 3;
// Stamp of a node not (yet) retired: always too young to release.
constexpr int64_t LFQ_NOT_RETIRED = INT64_MAX;

constexpr auto SC = std::memory_order_seq_cst;

// Whole seconds on the monotonic clock: a wall-clock step forwards would
// release nodes another thread may still hold.
int64_t lfq_now_seconds() {
  struct timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec);
}

// The full fences of append, dequeue and reclamation. ThreadSanitizer does
// not model fences (gcc warns about that); every shared field here is a
// sequentially consistent atomic, so its analysis does not rely on them.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wtsan"
#endif
void lfq_full_fence() { std::atomic_thread_fence(SC); }
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

void *_lfqueue_malloc(void *, size_t count) { return std::malloc(count); }
void _lfqueue_free(void *, void *ptr) { std::free(ptr); }

// Raw memory from the user's allocator becomes a node with every field clear.
lfqueue_node *lfq_new_node(lfqueue *queue) {
  void *memory = queue->alloc_fn(queue->user_data, sizeof(lfqueue_node));
  if (memory == nullptr) return nullptr;
  auto *node = new (memory) lfqueue_node;
  node->value.store(nullptr, SC);
  node->next.store(nullptr, SC);
  node->retired_next.store(nullptr, SC);
  node->retired_at.store(LFQ_NOT_RETIRED, SC);
  return node;
}

void lfq_release_node(lfqueue *queue, lfqueue_node *node) {
  node->~lfqueue_node();
  queue->free_fn(queue->user_data, node);
}

bool lfq_past_grace(int64_t now, const lfqueue_node *node) {
  return now - node->retired_at.load(SC) >= LFQ_GRACE_SECONDS;
}

// Releases retired nodes older than the grace period, oldest first, never the
// newest one (new retirements link behind it). A node is also held until the
// node retired after it is past the grace period: until that node was linked
// behind it, it was the newest, and a consumer retiring at the same moment may
// have just read its address from retired_tail (after an idle spell it would
// otherwise be released the instant it stopped being the newest). One thread
// at a time: a thread that finds the pass taken skips it rather than wait.
void __lfq_check_free(lfqueue *queue) {
  int32_t idle = 0;
  if (queue->reclaiming.compare_exchange_strong(idle, 1, SC)) {
    const int64_t now = lfq_now_seconds();
    lfqueue_node *x = queue->retired_head.load(SC);
    while (x != nullptr && x != queue->retired_tail.load(SC)) {
      lfqueue_node *younger = x->retired_next.load(SC);
      if (!lfq_past_grace(now, x) || !lfq_past_grace(now, younger)) break;
      lfq_release_node(queue, x);
      x = younger;
    }
    queue->retired_head.store(x, SC);
    int32_t busy = 1;
    queue->reclaiming.compare_exchange_strong(busy, 0, SC);
  }
  lfq_full_fence();
}

// Puts a former dummy on the retired list. Until its stamp is written it
// reads as not retired, so a pass that reaches it early (another consumer may
// already have moved retired_tail past it) keeps it.
void __lfq_recycle_free(lfqueue *queue, lfqueue_node *node) {
  node->retired_next.store(nullptr, SC);
  for (;;) {
    lfqueue_node *r = queue->retired_tail.load(SC);
    lfqueue_node *expected = nullptr;
    if (r->retired_next.compare_exchange_strong(expected, node, SC)) {
      node->retired_at.store(lfq_now_seconds(), SC);
      queue->retired_tail.compare_exchange_strong(r, node, SC);
      return;
    }
    // Another consumer linked behind r but has not moved the tail yet: move
    // it for them instead of waiting for that thread to be scheduled.
    queue->retired_tail.compare_exchange_strong(r, expected, SC);
  }
}

int _enqueue(lfqueue *queue, void *value) {
  lfqueue_node *node = lfq_new_node(queue);
  if (node == nullptr) {
    const int err = errno;
    std::perror("malloc");
    return err != 0 ? err : ENOMEM;
  }
  node->value.store(value, SC);
  lfqueue_node *t;
  for (;;) {
    lfq_full_fence();
    t = queue->tail.load(SC);
    lfqueue_node *expected = nullptr;
    if (t->next.compare_exchange_strong(expected, node, SC)) break;
    // Another producer linked first; help its tail forward so neither of us
    // depends on the other being scheduled.
    queue->tail.compare_exchange_strong(t, expected, SC);
  }
  queue->tail.compare_exchange_strong(t, node, SC);
  __lfq_check_free(queue);
  return 0;
}

// Steps shared by both dequeues. Returns the value and the unlinked former
// dummy through `old_dummy`, or null when the queue is empty.
void *lfq_take(lfqueue *queue, lfqueue_node **old_dummy) {
  for (;;) {
    lfqueue_node *h = queue->head.load(SC);
    lfqueue_node *confirm = h;
    if (!queue->head.compare_exchange_strong(confirm, h, SC)) continue;
    lfqueue_node *n = h->next.load(SC);
    lfqueue_node *tail_seen = h;
    const bool tail_is_h = queue->tail.compare_exchange_strong(tail_seen, h, SC);
    if (tail_is_h) {
      if (n == nullptr) return nullptr;
      // A producer linked n but has not moved the tail yet; move it for them
      // rather than spin until that thread runs again.
      queue->tail.compare_exchange_strong(tail_seen, n, SC);
      continue;
    }
    if (n == nullptr) return nullptr;
    void *v = n->value.load(SC);
    if (!queue->head.compare_exchange_strong(h, n, SC)) continue;
    *old_dummy = h;
    return v;
  }
}

void *_dequeue(lfqueue *queue) {
  lfqueue_node *old_dummy = nullptr;
  void *v = lfq_take(queue, &old_dummy);
  if (v != nullptr) __lfq_recycle_free(queue, old_dummy);
  lfq_full_fence();
  __lfq_check_free(queue);
  return v;
}

void *_single_dequeue(lfqueue *queue) {
  lfqueue_node *old_dummy = nullptr;
  void *v = lfq_take(queue, &old_dummy);
  if (v != nullptr) lfq_release_node(queue, old_dummy);
  return v;
}

}  // namespace

int lfqueue_init(lfqueue *queue) {
  return lfqueue_init_mf(queue, nullptr, _lfqueue_malloc, _lfqueue_free);
}

int lfqueue_init_mf(lfqueue *queue, void *user_data, lfqueue_alloc_fn alloc_fn,
                    lfqueue_free_fn free_fn) {
  queue->alloc_fn = alloc_fn;
  queue->free_fn = free_fn;
  queue->user_data = user_data;
  queue->head.store(nullptr, SC);
  queue->tail.store(nullptr, SC);
  queue->retired_head.store(nullptr, SC);
  queue->retired_tail.store(nullptr, SC);
  queue->size.store(0, SC);
  queue->reclaiming.store(0, SC);

  lfqueue_node *dummy = lfq_new_node(queue);
  lfqueue_node *anchor = dummy != nullptr ? lfq_new_node(queue) : nullptr;
  if (anchor == nullptr) {
    const int err = errno;
    std::perror("malloc");
    // Give back the first node so a failed start leaks nothing.
    if (dummy != nullptr) lfq_release_node(queue, dummy);
    return err != 0 ? err : ENOMEM;
  }
  queue->head.store(dummy, SC);
  queue->tail.store(dummy, SC);
  // The anchor was never anyone's node: stamped 0, it goes as soon as the
  // first retired node behind it has aged.
  anchor->retired_at.store(0, SC);
  queue->retired_head.store(anchor, SC);
  queue->retired_tail.store(anchor, SC);
  return 0;
}

int lfqueue_enq(lfqueue *queue, void *value) {
  if (_enqueue(queue, value) != 0) return -1;
  queue->size.fetch_add(1, SC);
  return 0;
}

void *lfqueue_deq(lfqueue *queue) {
  void *v = _dequeue(queue);
  if (v != nullptr) queue->size.fetch_sub(1, SC);
  return v;
}

void *lfqueue_deq_must(lfqueue *queue) {
  void *v;
  while ((v = _dequeue(queue)) == nullptr) lfqueue_sleep(1);
  queue->size.fetch_sub(1, SC);
  return v;
}

void *lfqueue_single_deq(lfqueue *queue) {
  void *v = _single_dequeue(queue);
  if (v != nullptr) queue->size.fetch_sub(1, SC);
  return v;
}

void *lfqueue_single_deq_must(lfqueue *queue) {
  void *v;
  while ((v = _single_dequeue(queue)) == nullptr) lfqueue_sleep(1);
  queue->size.fetch_sub(1, SC);
  return v;
}

int64_t lfqueue_size(lfqueue *queue) { return queue->size.fetch_add(0, SC); }

void lfqueue_destroy(lfqueue *queue) {
  // A queue whose initialisation failed holds no nodes.
  if (queue->head.load(SC) != nullptr) {
    void *v;
    while ((v = lfqueue_deq(queue)) != nullptr) queue->free_fn(queue->user_data, v);
  }
  lfqueue_node *tail_of_retired = queue->retired_tail.load(SC);
  lfqueue_node *x = queue->retired_head.load(SC);
  while (x != nullptr && x != tail_of_retired) {
    lfqueue_node *younger = x->retired_next.load(SC);
    lfq_release_node(queue, x);
    x = younger;
  }
  if (tail_of_retired != nullptr) lfq_release_node(queue, tail_of_retired);
  lfqueue_node *dummy = queue->tail.load(SC);
  if (dummy != nullptr) lfq_release_node(queue, dummy);
  queue->head.store(nullptr, SC);
  queue->tail.store(nullptr, SC);
  queue->retired_head.store(nullptr, SC);
  queue->retired_tail.store(nullptr, SC);
  queue->size.store(0, SC);
  queue->reclaiming.store(0, SC);
}

void lfqueue_sleep(unsigned int ms) {
  // The product is taken in 32 bits like the interface has always done;
  // unsigned arithmetic keeps the wrap of huge values defined.
  const int us = static_cast<int>(static_cast<uint32_t>(ms) * 1000u);
  usleep(static_cast<useconds_t>(us));
}
