#include "util/task_thread.h"

#include <utility>

#include "util/quiet_thread.h"

namespace tarnwick {

TaskThread::TaskThread() : thread_(start_quiet_thread([this] { run(); })) {}

TaskThread::~TaskThread() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  thread_.join();
}

void TaskThread::post(std::function<void()> task) {
  {
    std::lock_guard lock(mutex_);
    tasks_.push_back(std::move(task));
  }
  changed_.notify_all();
}

void TaskThread::drain() {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [this] { return tasks_.empty() && !running_task_; });
  if (failure_) std::rethrow_exception(std::exchange(failure_, nullptr));
}

void TaskThread::run() {
  std::unique_lock lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] { return stopping_ || !tasks_.empty(); });
    if (tasks_.empty()) return;  // stopping, with nothing left
    std::function<void()> task = std::move(tasks_.front());
    tasks_.pop_front();
    if (failure_) {  // dropped: an earlier task failed
      changed_.notify_all();
      continue;
    }
    running_task_ = true;
    lock.unlock();
    std::exception_ptr failure;
    try {
      task();
    } catch (...) {
      failure = std::current_exception();
    }
    task = nullptr;
    lock.lock();
    running_task_ = false;
    if (failure && !failure_) failure_ = failure;
    changed_.notify_all();
  }
}

}  // namespace tarnwick
