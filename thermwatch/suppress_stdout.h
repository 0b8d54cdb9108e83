// withSuppressedStdout: runs a piece of work with standard output (descriptor
// 1) sent to /dev/null, then restores it, so the controller client's failure
// lines during the survey do not reach the reader of the document.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <type_traits>
#include <utility>

namespace thermwatch {

// The descriptor operations it uses; tests replace them to make one fail.
struct DescriptorOps {
  std::function<int(int)> dup = [](int fd) { return ::dup(fd); };
  std::function<int(const char*)> openForWriting = [](const char* path) {
    return ::open(path, O_WRONLY | O_CLOEXEC);
  };
  std::function<int(int, int)> dup2 = [](int from, int to) { return ::dup2(from, to); };
  std::function<int(int)> close = [](int fd) { return ::close(fd); };
};

// Flushes standard output, points descriptor 1 at /dev/null, runs `work`,
// flushes again, points descriptor 1 back, and gives `work`'s result.
// Nothing is redirected when descriptor 1 cannot be duplicated (it could
// not be restored, and the document written after would be lost) or when
// /dev/null cannot be opened; the work's lines then reach standard output.
template <typename Work>
auto withSuppressedStdout(Work&& work, const DescriptorOps& ops = {}) {
  std::fflush(stdout);
  int saved = ops.dup(STDOUT_FILENO);
  int devNull = saved >= 0 ? ops.openForWriting("/dev/null") : -1;
  bool redirected = devNull >= 0 && ops.dup2(devNull, STDOUT_FILENO) >= 0;
  auto restore = [&] {
    std::fflush(stdout);
    if (redirected) ops.dup2(saved, STDOUT_FILENO);
    if (saved >= 0) ops.close(saved);
    if (devNull >= 0) ops.close(devNull);
  };
  if constexpr (std::is_void_v<decltype(work())>) {
    std::forward<Work>(work)();
    restore();
  } else {
    auto result = std::forward<Work>(work)();
    restore();
    return result;
  }
}

}  // namespace thermwatch
