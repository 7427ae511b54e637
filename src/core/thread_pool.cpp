#include "thread_pool.hpp"

#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <exception>

namespace trelvar::detail {

ThreadPool::ThreadPool(std::size_t size) {
  threads_.reserve(size > 1 ? size - 1 : 0);
  try {
    for (std::size_t k = 1; k < size; ++k) threads_.emplace_back([this] { work(); });
  } catch (...) {
    // Could not start them all: stop those that did start.
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    wake_.notify_all();
    for (std::thread& t : threads_) t.join();
    throw;
  }
}

ThreadPool::~ThreadPool() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  for (std::thread& t : threads_) t.join();
}

void ThreadPool::share(std::size_t slots, Task task, void* context) {
  Job job{task, context, slots};
  if (slots > 1 && !threads_.empty()) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      offered_.push_back(&job);
    }
    wake_.notify_all();
  }
  std::exception_ptr error;
  try {
    task(context, 0);
  } catch (...) {
    error = std::current_exception();
  }
  {
    std::unique_lock<std::mutex> lock(mutex_);
    // Withdraw the slots nobody took, then wait for the ones that were.
    const auto it = std::find(offered_.begin(), offered_.end(), &job);
    if (it != offered_.end()) offered_.erase(it);
    done_.wait(lock, [&] { return job.finished + 1 == job.taken; });
  }
  if (error) std::rethrow_exception(error);
}

void ThreadPool::work() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    wake_.wait(lock, [&] { return stop_ || !offered_.empty(); });
    if (stop_) return;
    Job* job = offered_.front();
    const std::size_t slot = job->taken++;
    if (job->taken == job->slots) offered_.pop_front();
    lock.unlock();
    job->task(job->context, slot);  // the task catches its own exceptions
    lock.lock();
    ++job->finished;
    // Under the lock: the caller cannot see the count and return (ending the
    // job's lifetime) before this thread is done with it.
    done_.notify_all();
  }
}

// ---------------------------------------------------------------------------
// The shared pool

namespace {

std::size_t processor_count() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) == 0) {
    const int n = CPU_COUNT(&set);
    if (n > 0) return static_cast<std::size_t>(n);
  }
  return std::max(1u, std::thread::hardware_concurrency());
}

// Never destroyed: at exit the background threads simply end with the
// process, and nothing joins threads that a fork left behind.
struct Shared {
  std::mutex mutex;
  std::size_t requested = 0;  // 0: the processor count
  std::shared_ptr<ThreadPool> pool;
  std::vector<std::shared_ptr<ThreadPool>> abandoned;  // pools of a parent process
};

Shared& shared() {
  static Shared* s = [] {
    auto* created = new Shared;
    // A forked child has only the forking thread: its copy of the pool has
    // no threads behind it. Set it aside (never touching its mutex, which a
    // vanished thread may hold) and start afresh on first use.
    pthread_atfork([] { shared().mutex.lock(); }, [] { shared().mutex.unlock(); },
                   [] {
                     Shared& c = shared();
                     c.mutex.unlock();
                     if (c.pool) c.abandoned.push_back(std::move(c.pool));
                   });
    return created;
  }();
  return *s;
}

std::size_t wanted_size(const Shared& s) {
  return s.requested != 0 ? s.requested : processor_count();
}

}  // namespace

std::shared_ptr<ThreadPool> shared_pool() {
  Shared& s = shared();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (!s.pool) s.pool = std::make_shared<ThreadPool>(wanted_size(s));
  return s.pool;
}

std::size_t shared_pool_size() {
  Shared& s = shared();
  std::lock_guard<std::mutex> lock(s.mutex);
  return s.pool ? s.pool->size() : wanted_size(s);
}

void resize_shared_pool(std::size_t size) {
  Shared& s = shared();
  std::shared_ptr<ThreadPool> old;
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    s.requested = size;
    if (s.pool && s.pool->size() == wanted_size(s)) return;
    old = std::move(s.pool);  // the next use builds the new size
  }
  // `old` joins its threads here unless a running call still holds it.
}

}  // namespace trelvar::detail
