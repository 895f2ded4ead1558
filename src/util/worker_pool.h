// The process-wide pool of worker threads that runs the parts of an index range
// in parallel, and the rule that decides how many workers it has.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <thread>
#include <vector>

namespace tarnwick {

// The name each worker thread carries (at most 15 characters).
inline constexpr char WORKER_THREAD_NAME[] = "tarnwick-worker";

// Runs indices [begin, end) of a job in ascending order. `context` is the
// caller's own state, passed through untouched.
using PartRunner = void (*)(void* context, size_t begin, size_t end);

// One range handed to the pool. Workers claim contiguous parts of it in turn.
struct ParallelJob {
  PartRunner run_part;
  void* context;
  size_t count;           // the range is [0, count)
  size_t part_size;       // the most indices a part holds
  size_t smallest_part;   // the fewest, but for the last part
  size_t workers;
  std::atomic<size_t> next_index{0};
  std::mutex failure_mutex;
  std::exception_ptr failure;  // the first exception a part threw; guarded by failure_mutex
};

// Worker threads parked between jobs. The pool starts its threads when it is
// built and joins them when it is dropped; it runs one job at a time.
struct WorkerPool {
  explicit WorkerPool(size_t requested_workers);
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  std::mutex job_mutex;  // held by the caller for the whole of its job

  std::mutex mutex;
  std::condition_variable job_posted;
  std::condition_variable job_finished;
  ParallelJob* job = nullptr;  // guarded by mutex
  uint64_t job_number = 0;     // guarded by mutex; raised once per job
  size_t workers_busy = 0;     // guarded by mutex
  bool stopping = false;       // guarded by mutex

  std::vector<std::thread> workers;  // started by the constructor, joined by the destructor
};

// Parses a thread count the way the pool's environment variables are read: a
// positive decimal integer with an optional leading '+', nothing else.
std::optional<size_t> parse_thread_count(std::string_view text);

// RAYON_NUM_THREADS when it holds a positive integer, else RAYON_RS_NUM_CPUS
// likewise, else the number of logical processors (at least 1).
size_t configured_worker_count();

// The pool of this process, built with configured_worker_count() workers on the
// first call (the environment is read then, and only then). A forked child
// builds a pool of its own on its first call. Holding the handle keeps the pool
// alive.
std::shared_ptr<WorkerPool> process_worker_pool();

// Runs parts of [0, count) on the pool's workers and returns once every part
// has finished, rethrowing the first exception a part threw. A part is never
// split further; each runs in ascending index order on one worker. With no
// workers the whole range runs on the calling thread.
void run_parallel(WorkerPool& pool, size_t count, PartRunner run_part, void* context);

template <typename Body>
void run_parallel(WorkerPool& pool, size_t count, Body& body) {
  run_parallel(
      pool, count,
      [](void* context, size_t begin, size_t end) { (*static_cast<Body*>(context))(begin, end); },
      &body);
}

}  // namespace tarnwick
