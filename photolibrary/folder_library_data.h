// Reading an asset's original data in the folder library: the primary file
// opened for a data request, read whole in chunks into memory of its own
// mapping, or kept open and read on first use. Internal to the
// folder_library target; the reader process answers with the same reads.
#pragma once

#include <sys/mman.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "photolibrary/folder_library.h"
#include "photolibrary/folder_library_internal.h"

namespace photolibrary::folder {

// The primary file of a data request, opened; fd not ok when the answer is
// already given by the request's info (in the cloud, or an error).
struct Opened {
  Fd fd;
  std::uint64_t size = 0;  // fstat of the open file
  bool remote = false;     // on a network file system or not resident
};

// Opens the media file `parts` names (a path as an identifier names it)
// below the open root, exactly as identifiers are resolved: no links, a
// regular file, at most kMaxOriginalBytes. Sets `info` to an error, or to
// in the cloud for a remote file without network access; clears it when
// the file is open.
Opened openMediaFile(int rootFd, const std::vector<std::string>& parts, const FolderLibraryProbes& probes,
                     const ImageRequestOptions& options, ImageResultInfo& info);

// Memory in a mapping of its own, returned to the system when freed. A
// scan reads photo after photo, each of a few megabytes, on several
// threads at once: from malloc, those buffers come from the threads'
// arenas once the first one is freed, and the arenas keep what they have
// held, so the process grows with every band of large photos it meets. A
// mapping is never kept.
template <typename T>
struct MappedAllocator {
  using value_type = T;
  MappedAllocator() = default;
  template <typename U>
  MappedAllocator(const MappedAllocator<U>&) {}
  T* allocate(std::size_t n) {
    // Populated at once: one call instead of a page fault per page.
    void* p = ::mmap(nullptr, n * sizeof(T), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
    if (p == MAP_FAILED) throw std::bad_alloc();
    return static_cast<T*>(p);
  }
  void deallocate(T* p, std::size_t n) { ::munmap(p, n * sizeof(T)); }
  // Elements are left as the mapping has them (zero) rather than zeroed
  // again, and are then read over.
  template <typename U>
  void construct(U* p) noexcept {
    ::new (static_cast<void*>(p)) U;
  }
  friend bool operator==(const MappedAllocator&, const MappedAllocator&) { return true; }
};
using MappedBytes = std::vector<std::uint8_t, MappedAllocator<std::uint8_t>>;

// Reads the open file from its start to its end, in chunks, calling the
// progress handler after each chunk of a remote file; nothing on a read
// error or past kMaxOriginalBytes.
template <typename Bytes = std::vector<std::uint8_t>>
std::optional<Bytes> readAll(const Opened& file, const ImageRequestOptions& options) {
  // Room for the file as it stands and the read that finds its end, which
  // then fits without moving the bytes already read; reads stay within
  // that room while there is some.
  Bytes data;
  data.reserve(static_cast<std::size_t>(std::min(file.size, kMaxOriginalBytes)) + kEndRoom);
  for (off_t at = 0;;) {
    if (data.size() >= kMaxOriginalBytes) return std::nullopt;
    const std::size_t have = data.size();
    const std::size_t want = data.capacity() > have ? std::min(data.capacity() - have, kReadChunk) : kReadChunk;
    data.resize(have + want);
    ssize_t got = ::pread(file.fd.get(), data.data() + have, want, at);
    if (got < 0 && errno == EINTR) {
      data.resize(have);
      continue;
    }
    if (got < 0) return std::nullopt;
    data.resize(have + static_cast<std::size_t>(got));
    at += got;
    if (got == 0) break;
    if (file.remote && options.progressHandler) options.progressHandler();
  }
  return data;
}

// A local file's data: its size from fstat, its bytes read on first use.
class FileData : public ImageData {
 public:
  explicit FileData(Opened file) : file_(std::move(file)) {}
  std::int64_t size() const override { return static_cast<std::int64_t>(file_.size); }
  std::optional<std::span<const std::uint8_t>> bytes() override;

 private:
  Opened file_;
  bool read_ = false;
  std::optional<MappedBytes> bytes_;
};

}  // namespace photolibrary::folder
