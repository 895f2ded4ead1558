#include "util/worker_pool.h"

#include <pthread.h>

#include <algorithm>
#include <cstdlib>
#include <limits>

#include "util/quiet_thread.h"

namespace tarnwick {

namespace {

// Parts per worker at the start: enough that a worker slowed down by other
// load on its core leaves its share to the others, few enough that claiming
// parts costs nothing.
constexpr size_t PARTS_PER_WORKER = 4;
// Parts shrink as a job runs out, down to this fraction of the first ones.
constexpr size_t SMALLEST_PART_DIVISOR = 8;

// The next part: half of what is left shared among the workers, within
// [smallest_part, part_size]. Parts that shrink toward the end let the workers
// finish within a small part of each other, where parts of one size would
// leave all but one waiting out the last one whole. Two workers linking
// 100,000 points in jobs of 4,096 sat idle for 2.1-3.8% of their time with
// parts of one size, 0.8-1.0% with these.
bool claim_part(ParallelJob& job, size_t& begin, size_t& end) {
  begin = job.next_index.load(std::memory_order_relaxed);
  do {
    if (begin >= job.count) return false;
    const size_t left = job.count - begin;
    const size_t share = std::clamp(left / (2 * job.workers), job.smallest_part, job.part_size);
    end = begin + std::min(share, left);
  } while (!job.next_index.compare_exchange_weak(begin, end, std::memory_order_relaxed));
  return true;
}

void run_parts(ParallelJob& job) {
  size_t begin = 0, end = 0;
  while (claim_part(job, begin, end)) {
    try {
      job.run_part(job.context, begin, end);
    } catch (...) {
      std::lock_guard lock(job.failure_mutex);
      if (!job.failure) job.failure = std::current_exception();
    }
  }
}

void work(WorkerPool& pool) {
  uint64_t jobs_seen = 0;
  std::unique_lock lock(pool.mutex);
  for (;;) {
    pool.job_posted.wait(lock, [&] { return pool.stopping || pool.job_number != jobs_seen; });
    if (pool.job_number == jobs_seen) return;  // stopping, with no job left to help with
    jobs_seen = pool.job_number;
    ParallelJob& job = *pool.job;
    lock.unlock();
    run_parts(job);
    lock.lock();
    if (--pool.workers_busy == 0) pool.job_finished.notify_one();
  }
}

// The handle every caller copies. In a forked child the workers it names do not
// exist, so the child forgets the pool without dropping it: dropping would join
// threads that are not there.
struct PoolRegistry {
  PoolRegistry() { pthread_atfork(lock_before_fork, unlock_in_parent, forget_in_child); }

  std::mutex mutex;
  std::shared_ptr<WorkerPool> pool;  // guarded by mutex

  static void lock_before_fork();
  static void unlock_in_parent();
  static void forget_in_child();
};

// Built on first use and dropped at process exit, which joins the parked workers.
PoolRegistry& registry() {
  static PoolRegistry instance;
  return instance;
}

void PoolRegistry::lock_before_fork() { registry().mutex.lock(); }

void PoolRegistry::unlock_in_parent() { registry().mutex.unlock(); }

void PoolRegistry::forget_in_child() {
  PoolRegistry& self = registry();
  if (self.pool) new std::shared_ptr<WorkerPool>(std::move(self.pool));  // leaked on purpose
  self.mutex.unlock();
}

}  // namespace

WorkerPool::WorkerPool(size_t requested_workers) {
  try {
    workers.reserve(requested_workers);  // so that starting a worker never moves the others
    for (size_t i = 0; i < requested_workers; ++i) {
      workers.push_back(start_quiet_thread([this] { work(*this); }));
      // Named before the pool is handed out, so that tools (and tests) can tell workers apart.
      pthread_setname_np(workers.back().native_handle(), WORKER_THREAD_NAME);
    }
  } catch (const std::exception&) {
    // The system would not hold or start another thread: the pool runs with
    // those it has, and with none, run_parallel runs on the calling thread.
  }
}

WorkerPool::~WorkerPool() {
  {
    std::lock_guard lock(mutex);
    stopping = true;
  }
  job_posted.notify_all();
  for (std::thread& worker : workers) worker.join();
}

std::optional<size_t> parse_thread_count(std::string_view text) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  size_t count = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    size_t digit = static_cast<size_t>(c - '0');
    if (count > (std::numeric_limits<size_t>::max() - digit) / 10) return std::nullopt;
    count = count * 10 + digit;
  }
  if (count == 0) return std::nullopt;
  return count;
}

size_t configured_worker_count() {
  for (const char* name : {"RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS"}) {
    const char* value = std::getenv(name);
    if (value == nullptr) continue;
    if (std::optional<size_t> count = parse_thread_count(value)) return *count;
  }
  return std::max(1u, std::thread::hardware_concurrency());
}

std::shared_ptr<WorkerPool> process_worker_pool() {
  PoolRegistry& self = registry();
  std::lock_guard lock(self.mutex);
  if (!self.pool) self.pool = std::make_shared<WorkerPool>(configured_worker_count());
  return self.pool;
}

void run_parallel(WorkerPool& pool, size_t count, PartRunner run_part, void* context) {
  if (count == 0) return;
  if (pool.workers.empty()) {
    run_part(context, 0, count);
    return;
  }
  ParallelJob job;
  job.run_part = run_part;
  job.context = context;
  job.count = count;
  const size_t wanted_parts = pool.workers.size() * PARTS_PER_WORKER;
  job.part_size = std::max<size_t>(1, (count + wanted_parts - 1) / wanted_parts);
  job.smallest_part = std::max<size_t>(1, job.part_size / SMALLEST_PART_DIVISOR);
  job.workers = pool.workers.size();

  std::lock_guard one_job_at_a_time(pool.job_mutex);
  {
    std::unique_lock lock(pool.mutex);
    pool.job = &job;
    ++pool.job_number;
    pool.workers_busy = pool.workers.size();
    pool.job_posted.notify_all();
    // Every worker reports back, also one that found no part left, so none can
    // still be looking at the job once this returns.
    pool.job_finished.wait(lock, [&] { return pool.workers_busy == 0; });
    pool.job = nullptr;
  }
  if (job.failure) std::rethrow_exception(job.failure);
}

}  // namespace tarnwick
