// Opening and reading an asset's original data.
#include "photolibrary/folder_library_data.h"

#include <fcntl.h>
#include <sys/stat.h>

namespace photolibrary::folder {

Opened openMediaFile(int rootFd, const std::vector<std::string>& parts, const FolderLibraryProbes& probes,
                     const ImageRequestOptions& options, ImageResultInfo& info) {
  Opened file;
  info.hasError = true;
  Fd dirFd = openFolderBelow(rootFd, parts, parts.size() - 1);
  if (!dirFd.ok()) return file;
  const std::string& leaf = parts.back();
  struct stat st {};
  if (::fstatat(dirFd.get(), leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode)) return file;
  file.remote = probes.storage(dirFd.get(), leaf, st) != Storage::kLocal;
  if (file.remote && !options.networkAccessAllowed) {
    info.hasError = false;
    info.inCloud = true;
    return file;
  }
  // O_NONBLOCK: a FIFO swapped in after the check above opens without
  // waiting for a writer, and is refused below.
  Fd fd(::openat(dirFd.get(), leaf.c_str(), kFileFlags));
  struct stat now {};
  if (!fd.ok() || ::fstat(fd.get(), &now) != 0 || !S_ISREG(now.st_mode)) return file;
  file.size = static_cast<std::uint64_t>(std::max<off_t>(now.st_size, 0));
  if (file.size > kMaxOriginalBytes) return file;
  info.hasError = false;
  file.fd = std::move(fd);
  return file;
}

std::optional<std::span<const std::uint8_t>> FileData::bytes() {
  if (!read_) {
    read_ = true;
    try {
      bytes_ = readAll<MappedBytes>(file_, ImageRequestOptions{});
    } catch (const std::bad_alloc&) {  // no memory for a file this large: it cannot be read
    }
    file_.fd.reset();
  }
  if (!bytes_) return std::nullopt;
  return std::span<const std::uint8_t>(*bytes_);
}

}  // namespace photolibrary::folder
