#include "photolibrary/folder_library_open.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

namespace photolibrary::folder {
namespace {

// Whether openat2 may be tried: false once the kernel lacks it or a system
// call filter refuses it (the lock-down does unless Landlock already
// forbids every write, see lockdown.cc).
std::atomic<bool> openat2Usable{true};

// -1 with errno set when openat2 refused the path; -2 when it could not be
// used at all.
int openWithOpenat2(int rootFd, const std::vector<std::string>& parts, std::size_t count) {
  std::string path = parts[0];
  for (std::size_t k = 1; k < count; ++k) (path += '/') += parts[k];
  open_how how{};
  how.flags = kFolderFlags;
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
  long fd = ::syscall(SYS_openat2, rootFd, path.c_str(), &how, sizeof how);
  if (fd >= 0) return static_cast<int>(fd);
  if (errno == ENOSYS || errno == EPERM) {
    openat2Usable.store(false, std::memory_order_relaxed);
    return -2;
  }
  // EAGAIN: a rename raced the lookup; the walk below answers instead.
  return errno == EAGAIN ? -2 : -1;
}

}  // namespace

int openFolderBeneath(int rootFd, const std::vector<std::string>& parts, std::size_t count, Resolution how) {
  if (count > 0 && how == Resolution::kBest && openat2Usable.load(std::memory_order_relaxed)) {
    int fd = openWithOpenat2(rootFd, parts, count);
    if (fd != -2) return fd;
  }
  // The root itself is opened anew rather than dup'ed, so that the caller
  // gets a read position of its own for listing it.
  int cur = ::openat(rootFd, ".", kFolderFlags);
  for (std::size_t k = 0; k < count && cur >= 0; ++k) {
    int next = ::openat(cur, parts[k].c_str(), kFolderFlags);
    ::close(cur);
    cur = next;
  }
  return cur;
}

}  // namespace photolibrary::folder
