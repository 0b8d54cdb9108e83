// Spreading one picture's work over threads (internal to the imaging module).
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <system_error>
#include <thread>
#include <vector>

namespace imaging::detail {

// Calls job(k) once for every k in [0, jobs), on the calling thread and on
// up to `threads` - 1 threads started for it (fewer where the system refuses
// more: the jobs then still all run), and returns when every job is done.
// Each started thread calls atThreadEnd() when it has no job left.
template <typename Job, typename AtThreadEnd>
void forEachOnThreads(std::size_t jobs, int threads, Job job, AtThreadEnd atThreadEnd) {
  std::atomic<std::size_t> next{0};
  auto work = [&] {
    for (std::size_t k; (k = next.fetch_add(1)) < jobs;) job(k);
  };
  std::vector<std::thread> helpers;
  const std::size_t wanted = std::min<std::size_t>(static_cast<std::size_t>(std::max(threads, 1)), jobs);
  for (std::size_t k = 1; k < wanted; ++k) {
    try {
      helpers.emplace_back([&] {
        work();
        atThreadEnd();
      });
    } catch (const std::system_error&) {
      break;
    }
  }
  work();
  for (std::thread& t : helpers) t.join();
}

template <typename Job>
void forEachOnThreads(std::size_t jobs, int threads, Job job) {
  forEachOnThreads(jobs, threads, job, [] {});
}

}  // namespace imaging::detail
