// A fixed pool of worker threads taking operations first in, first out.
//
// The pool's threads are detached and share ownership of the pool, so the
// pool outlives whoever made it as long as one of its threads runs: the scan
// may end (and the process exit) while a worker is still blocked in a
// library request. There is no cancellation of a running operation.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>

namespace albumsweep {

class WorkerPool : public std::enable_shared_from_this<WorkerPool> {
 public:
  // Starts `width` (at least 1) worker threads.
  static std::shared_ptr<WorkerPool> start(int width);

  // Queues an operation; a free worker starts it. Operations start in the
  // order they were added.
  void add(std::function<void()> operation);

  // Operations added and not yet finished (queued or running).
  std::int64_t operationCount();

  // Drops the operations not yet started; running ones go on to their end,
  // then their threads leave. Nothing new is started afterwards.
  void shutDown();

  // Blocks until every worker thread has left (after shutDown). For tests,
  // which must not tear down what a stray worker still uses.
  void waitForExit();

 private:
  WorkerPool() = default;
  void workLoop();

  std::mutex mu_;
  std::condition_variable wake_;    // an operation was added, or shut-down
  std::condition_variable exited_;  // a thread left
  std::deque<std::function<void()>> queue_;
  std::int64_t pending_ = 0;  // queued + running
  int liveThreads_ = 0;
  bool shutDown_ = false;
};

}  // namespace albumsweep
