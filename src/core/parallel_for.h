#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

#include "core/cancellation.h"

#if defined(__linux__)
#include <sched.h>
#endif

namespace corvane {

// Runs fn(begin, end) over contiguous ranges that together cover the items [0, n), on a
// few native threads, the calling thread included.
//
// The items are cut into ranges ("chunks") of about equal work (an item's work is its
// byte size plus a fixed per-item cost), several per thread, and the threads take chunks
// through one atomic counter, so a thread that drew short texts takes more chunks. Small
// batches run on the calling thread alone, as one chunk: starting a thread costs more
// than they take.
//
// fn must be safe to call concurrently for disjoint ranges. If a call throws, no further
// chunks are started, the threads are joined and the first exception is rethrown on the
// calling thread. If the system refuses to start a thread, the threads already started
// and the calling thread do the work.
//
// The threads it starts share the calling thread's cancellation flag (core/cancellation.h),
// and no chunk starts once the flag is set.
class ParallelFor {
 public:
  // Below this much work in total, everything runs on the calling thread.
  static constexpr std::size_t kInlineBytes = 64 * 1024;
  // Work counted for every item on top of its bytes: the fixed cost of a call.
  static constexpr std::size_t kItemBytes = 64;
  // Chunks per thread: enough to even out uneven texts, few enough to keep chunks long.
  static constexpr std::size_t kChunksPerThread = 8;

  // The number of threads a batch of `n` items may use: one per processor at most (and
  // no more than the processors this process may run on).
  static std::size_t max_threads(std::size_t n) {
    std::size_t cpus = std::max<std::size_t>(1, std::thread::hardware_concurrency());
#if defined(__linux__)
    cpu_set_t allowed;
    if (sched_getaffinity(0, sizeof allowed, &allowed) == 0) {
      cpus = std::min<std::size_t>(cpus, std::max(1, CPU_COUNT(&allowed)));
    }
#endif
    return std::min(cpus, n);
  }

  // `sizes[i]` is the byte size of item i.
  template <class Fn>
  static void run(const std::vector<std::size_t>& sizes, Fn&& fn) {
    const std::size_t n = sizes.size();
    std::size_t total = 0;
    for (std::size_t s : sizes) total += s + kItemBytes;
    const std::size_t threads = max_threads(n);
    if (threads <= 1 || total < kInlineBytes) {
      if (n > 0) fn(std::size_t{0}, n);
      return;
    }

    // Chunk boundaries: item indexes where the running work crosses a multiple of the
    // chunk's share.
    const std::size_t want = threads * kChunksPerThread;
    const std::size_t share = std::max<std::size_t>(1, total / want);
    std::vector<std::size_t> bounds;
    bounds.reserve(want + 2);
    bounds.push_back(0);
    std::size_t acc = 0;
    for (std::size_t i = 0; i < n; ++i) {
      acc += sizes[i] + kItemBytes;
      if (acc >= share && i + 1 < n) {
        bounds.push_back(i + 1);
        acc = 0;
      }
    }
    bounds.push_back(n);
    const std::size_t chunks = bounds.size() - 1;

    std::atomic<std::size_t> next{0};
    std::atomic<bool> failed{false};
    std::exception_ptr error;
    std::mutex error_mutex;
    const Cancellation::Flag* const cancel = Cancellation::current();
    auto work = [&]() noexcept {
      const Cancellation::Scope scope(cancel);
      try {
        for (;;) {
          if (failed.load(std::memory_order_relaxed)) return;
          Cancellation::check(cancel);
          const std::size_t c = next.fetch_add(1, std::memory_order_relaxed);
          if (c >= chunks) return;
          fn(bounds[c], bounds[c + 1]);
        }
      } catch (...) {
        std::lock_guard<std::mutex> lock(error_mutex);
        if (!error) error = std::current_exception();
        failed.store(true, std::memory_order_relaxed);
      }
    };

    std::vector<std::thread> pool;
    try {
      pool.reserve(threads - 1);
      for (std::size_t t = 1; t < std::min(threads, chunks); ++t) pool.emplace_back(work);
    } catch (...) {
      // No more threads (or no memory for their handles): carry on with those running.
    }
    work();
    for (std::thread& th : pool) th.join();
    if (error) std::rethrow_exception(error);
  }
};

}  // namespace corvane
