#include "packed/chunk_pool.h"

#include <sched.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace quarl {
namespace {

size_t available_processors() noexcept {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0) {
    int count = CPU_COUNT(&set);
    if (count > 0) return static_cast<size_t>(count);
  }
  unsigned count = std::thread::hardware_concurrency();
  return count > 0 ? count : 1;
}

// Workers claim chunk indices one at a time from a shared counter, so a
// worker that finishes early takes over the chunks that are still waiting.
class ChunkPool {
 public:
  explicit ChunkPool(size_t worker_count) {
    workers_.reserve(worker_count);
    try {
      for (size_t i = 0; i < worker_count; ++i) workers_.emplace_back([this] { work(); });
    } catch (const std::system_error&) {
      // Fewer workers than processors still do the job; none at all is
      // handled in run().
    }
  }
  // Workers are never joined: the pool lives until the process ends.
  ChunkPool(const ChunkPool&) = delete;
  ChunkPool& operator=(const ChunkPool&) = delete;

  void run(size_t count, ChunkTask task, void* context) {
    if (count == 0) return;
    if (workers_.empty()) {
      for (size_t i = 0; i < count; ++i) task(context, i);
      return;
    }
    std::lock_guard one_job_at_a_time(submit_mutex_);
    Job job{task, context, count};
    std::unique_lock lock(mutex_);
    job_ = &job;
    ++generation_;
    job_posted_.notify_all();
    job_done_.wait(lock, [&] { return job.finished == job.count && job.active == 0; });
    job_ = nullptr;
  }

 private:
  struct Job {
    ChunkTask task;
    void* context;
    size_t count;
    std::atomic<size_t> next{0};
    // Both guarded by mutex_. The job lives on the submitting thread's
    // stack, so it may end only when no worker holds it any more.
    size_t finished = 0;
    size_t active = 0;
  };

  void work() {
    uint64_t seen = 0;
    std::unique_lock lock(mutex_);
    for (;;) {
      job_posted_.wait(lock, [&] { return job_ != nullptr && generation_ != seen; });
      seen = generation_;
      Job& job = *job_;
      ++job.active;
      lock.unlock();
      size_t done = run_claimed_chunks(job);
      lock.lock();
      job.finished += done;
      if (--job.active == 0 && job.finished == job.count) job_done_.notify_one();
    }
  }

  static size_t run_claimed_chunks(Job& job) noexcept {
    size_t done = 0;
    for (;;) {
      size_t index = job.next.fetch_add(1, std::memory_order_relaxed);
      if (index >= job.count) return done;
      job.task(job.context, index);
      ++done;
    }
  }

  std::mutex submit_mutex_;
  std::mutex mutex_;
  std::condition_variable job_posted_;
  std::condition_variable job_done_;
  Job* job_ = nullptr;
  uint64_t generation_ = 0;
  std::vector<std::thread> workers_;
};

std::mutex pool_creation_mutex;
ChunkPool* pool = nullptr;
pid_t pool_owner = 0;

// A forked child inherits the pool object but none of its threads, and
// possibly a lock that a worker held at the moment of the fork. The child
// therefore leaves that pool untouched (and unfreed: destroying it would
// touch those locks and threads) and starts a pool of its own.
ChunkPool& process_pool() {
  std::lock_guard lock(pool_creation_mutex);
  pid_t self = getpid();
  if (pool == nullptr || pool_owner != self) {
    pool = new ChunkPool(available_processors());
    pool_owner = self;
  }
  return *pool;
}

}  // namespace

void run_on_chunk_pool(size_t count, ChunkTask task, void* context) {
  process_pool().run(count, task, context);
}

}  // namespace quarl
