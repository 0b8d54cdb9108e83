// Opening a folder below the folder photo library's root without ever
// following a symbolic link or leaving the root.
#pragma once

#include <fcntl.h>

#include <cstddef>
#include <string>
#include <vector>

namespace photolibrary::folder {

// How every folder below the root is opened, by the walk and by path
// resolution alike: read-only, only a folder, never through a link.
inline constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// How a path below the root is resolved.
enum class Resolution {
  kBest,           // one openat2 call where the kernel and the lock-down allow it, else kComponentwise
  kComponentwise,  // one openat per component with O_NOFOLLOW
};

// The folder named by the first `count` of `parts` (names without "/"; the
// root itself for none) below the open folder `rootFd`, opened read-only
// and close-on-exec; -1 when any component is missing, not a folder, a
// symbolic link or cannot be opened. Both resolutions refuse the same
// paths, except that openat2 needs only search permission on the folders
// on the way, where the component-wise walk must open each of them.
int openFolderBeneath(int rootFd, const std::vector<std::string>& parts, std::size_t count,
                      Resolution how = Resolution::kBest);

}  // namespace photolibrary::folder
