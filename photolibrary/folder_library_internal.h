// What the folder library's source files share: an owned file descriptor,
// the flags every media file is opened with, the limits on reads, path
// helpers below the root, and the entry (asset and resources) that the
// walk, the identifier lookup and the reader's messages all carry.
// Internal to the folder_library target.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "photolibrary/folder_library_open.h"
#include "photolibrary/photo_library.h"

namespace photolibrary::folder {

// How a media file is opened: read-only, never through a link, without
// waiting for a writer should it be a FIFO, close-on-exec.
inline constexpr int kFileFlags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY;
// Original data is read and sent in chunks of this size.
inline constexpr std::size_t kReadChunk = std::size_t{1} << 20;
// Room kept past a file's size for the read that finds its end.
inline constexpr std::size_t kEndRoom = 4096;
// A file larger than this answers a data request with an error.
inline constexpr std::uint64_t kMaxOriginalBytes = std::uint64_t{4} << 30;

// An owned file descriptor.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() { reset(); }
  Fd(Fd&& o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
  Fd& operator=(Fd&& o) noexcept {
    if (this != &o) {
      reset();
      fd_ = std::exchange(o.fd_, -1);
    }
    return *this;
  }
  int get() const { return fd_; }
  bool ok() const { return fd_ >= 0; }
  void reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
};

// The components of a path relative to the root ("a/b" -> {"a", "b"}; ""
// -> none).
inline std::vector<std::string> splitPath(const std::string& relDir) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (start < relDir.size()) {
    std::size_t slash = relDir.find('/', start);
    if (slash == std::string::npos) slash = relDir.size();
    parts.push_back(relDir.substr(start, slash - start));
    start = slash + 1;
  }
  return parts;
}

inline std::string joinPath(const std::string& dir, const std::string& name) {
  return dir.empty() ? name : dir + "/" + name;
}

// The folder of the first `count` of `parts` below the open root (see
// openFolderBeneath); not ok when it cannot be opened.
inline Fd openFolderBelow(int rootFd, const std::vector<std::string>& parts, std::size_t count) {
  return Fd(openFolderBeneath(rootFd, parts, count));
}

// One asset of the library with its resources, as the walk and the
// identifier lookup make it.
struct Entry {
  Asset asset;
  std::vector<AssetResource> resources;
};

}  // namespace photolibrary::folder
