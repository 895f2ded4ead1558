// A thread of its own that runs the tasks handed to it, one at a time in the
// order they came, while the caller goes on.
#pragma once

#include <condition_variable>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>

namespace tarnwick {

class TaskThread {
 public:
  // Starts the thread (with every signal blocked, so that they stay with the
  // interpreter's threads).
  TaskThread();
  // Runs what is left, then joins.
  ~TaskThread();
  TaskThread(const TaskThread&) = delete;
  TaskThread& operator=(const TaskThread&) = delete;

  // Hands a task over. After a task has thrown, later ones are dropped unrun.
  void post(std::function<void()> task);
  // Waits until every task handed over has run (or was dropped), then
  // rethrows the first exception a task threw, if any, once.
  void drain();

 private:
  void run();

  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::function<void()>> tasks_;  // guarded by mutex_
  bool running_task_ = false;                // guarded by mutex_
  bool stopping_ = false;                    // guarded by mutex_
  std::exception_ptr failure_;               // guarded by mutex_
  std::thread thread_;
};

}  // namespace tarnwick
