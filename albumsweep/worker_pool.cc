#include "albumsweep/worker_pool.h"

#include <thread>

namespace albumsweep {

std::shared_ptr<WorkerPool> WorkerPool::start(int width) {
  std::shared_ptr<WorkerPool> pool(new WorkerPool);
  if (width < 1) width = 1;
  pool->liveThreads_ = width;
  for (int k = 0; k < width; ++k) std::thread([self = pool] { self->workLoop(); }).detach();
  return pool;
}

void WorkerPool::add(std::function<void()> operation) {
  std::lock_guard<std::mutex> g(mu_);
  if (shutDown_) return;
  queue_.push_back(std::move(operation));
  ++pending_;
  wake_.notify_one();
}

std::int64_t WorkerPool::operationCount() {
  std::lock_guard<std::mutex> g(mu_);
  return pending_;
}

void WorkerPool::shutDown() {
  std::deque<std::function<void()>> dropped;
  {
    std::lock_guard<std::mutex> g(mu_);
    shutDown_ = true;
    pending_ -= static_cast<std::int64_t>(queue_.size());
    dropped.swap(queue_);
    wake_.notify_all();
  }
  // `dropped` is destroyed here, outside the lock.
}

void WorkerPool::waitForExit() {
  std::unique_lock<std::mutex> g(mu_);
  exited_.wait(g, [&] { return liveThreads_ == 0; });
}

void WorkerPool::workLoop() {
  for (;;) {
    std::function<void()> operation;
    {
      std::unique_lock<std::mutex> g(mu_);
      wake_.wait(g, [&] { return shutDown_ || !queue_.empty(); });
      if (shutDown_) break;
      operation = std::move(queue_.front());
      queue_.pop_front();
    }
    operation();
    operation = nullptr;  // release what it holds before it counts as finished
    std::lock_guard<std::mutex> g(mu_);
    --pending_;
  }
  std::lock_guard<std::mutex> g(mu_);
  --liveThreads_;
  exited_.notify_all();
}

}  // namespace albumsweep
