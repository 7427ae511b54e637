// The persistent pool behind the batch functions: size - 1 background threads
// that help whichever calling thread asks. Several callers may share it at
// once; each caller works on its own job too, so a job always finishes even
// when every background thread is busy elsewhere.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace trelvar::detail {

class ThreadPool {
 public:
  // A task run on several threads at once, each with its own slot number.
  using Task = void (*)(void* context, std::size_t slot);

  explicit ThreadPool(std::size_t size);
  ~ThreadPool();
  ThreadPool(const ThreadPool&) = delete;
  ThreadPool& operator=(const ThreadPool&) = delete;

  // Threads of the pool, the calling thread counted.
  std::size_t size() const { return threads_.size() + 1; }

  // Runs task(context, 0) on the calling thread and offers slots 1 ..
  // slots - 1 to the background threads. The task shares out the work itself
  // (an atomic counter, say), so slots nobody took by the time slot 0 returns
  // are withdrawn; returns once every slot that was taken has returned. The
  // task must not throw on a background thread (it catches and reports its
  // own errors); on the calling thread an exception is rethrown after that wait.
  void share(std::size_t slots, Task task, void* context);

 private:
  struct Job {
    Task task;
    void* context;
    std::size_t slots;
    std::size_t taken = 1;  // slot 0 is the caller's
    std::size_t finished = 0;
  };

  void work();

  std::mutex mutex_;
  std::condition_variable wake_;  // a job was offered, or the pool stops
  std::condition_variable done_;  // a helper finished a slot
  std::deque<Job*> offered_;
  bool stop_ = false;
  std::vector<std::thread> threads_;
};

// The process-wide pool, created on first use with size pool_size(). Kept
// alive by every caller holding it, so a resize never pulls it away from a
// running job. After fork() the child gets a fresh pool on first use.
std::shared_ptr<ThreadPool> shared_pool();
std::size_t shared_pool_size();
void resize_shared_pool(std::size_t size);

}  // namespace trelvar::detail
