// Where the folder photo library's files live, and what access the process
// has to the library folder.
#pragma once

#include <sys/stat.h>

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "photolibrary/photo_library.h"

namespace photolibrary::folder {

enum class Storage {
  kLocal,        // on this machine's own storage
  kNetwork,      // on a network file system: reading it is a download
  kNotResident,  // a placeholder whose data is not on the machine (size > 0, no blocks)
};

// Where the data of the file `st` (its lstat) in the open folder `dirFd`
// lives. The folder's file system type decides "network": NFS, SMB/CIFS,
// AFS, Ceph, Coda, NCP, and FUSE file systems whose type or source names a
// remote service (sshfs, rclone, davfs, s3fs, gcsfuse, ...; the type comes
// from /proc/self/mountinfo). Looks at nothing but metadata.
Storage storageOf(int dirFd, const struct stat& st);

// True when a FUSE mount of this type ("fuse.sshfs") and source
// ("user@host:/photos", "https://dav.example/") serves remote data.
bool isRemoteFuseMount(std::string_view fsType, std::string_view source);

// The access this process has to the library folder: missing or not a
// folder gives not determined; not readable and searchable, denied;
// readable but not writable (read-only mount or no write permission),
// restricted; else authorized. Permissions are judged with the effective
// ids. May block on a dead network mount.
AuthorizationStatus folderAuthorization(const std::string& root);

// The same judgement of a folder already open (O_PATH is enough), looking
// nothing up by path.
AuthorizationStatus folderAuthorizationAt(int rootFd);

// Whether a file system of this type (statfs f_type) can stop answering
// and leave a thread blocked in an uninterruptible wait: network file
// systems (NFS, SMB/CIFS, 9p, AFS, Ceph, Coda, NCP, cluster file systems)
// and FUSE, whose server can hang, including FUSE drivers of local disks.
bool mayHang(unsigned long statfsType);
// The same by the type name /proc/self/mountinfo shows ("nfs4", "fuse.sshfs").
bool mayHang(std::string_view mountType);

// Where below the library folder the storage can hang.
struct HangRisk {
  bool root = false;                             // the library folder's own file system
  std::vector<std::vector<std::string>> mounts;  // mount points below it, as path components
  bool any() const { return root || !mounts.empty(); }
  // Whether the path of the first `count` of `parts` below the root is on
  // such storage.
  bool covers(const std::vector<std::string>& parts, std::size_t count) const;
};

// The risk of a library folder on a file system of type `rootType`, whose
// path (no links) is `rootPath`, with `mountinfo` the text of
// /proc/self/mountinfo.
HangRisk hangRiskOf(unsigned long rootType, const std::string& rootPath, std::string_view mountinfo);
// The same for the open library folder. Its fstatfs can hang.
HangRisk hangRiskAt(int rootFd);

// The access answer for the library folder and the folder itself, opened
// O_PATH, close-on-exec (-1 when it could not be opened, or when the answer
// did not come in time), and where below it the storage can hang.
struct RootAccess {
  AuthorizationStatus status = AuthorizationStatus::kNotDetermined;
  int fd = -1;
  HangRisk risk;
};

// Opens `root` and judges access on a thread of its own, and waits at most
// `bound` for it: a dead network mount can hang the lookup of the folder,
// and no answer in time counts as not determined. The folder is looked up
// once, on that thread; a descriptor that comes too late is closed there.
// The hang risk is judged on that thread too, for an authorized folder.
RootAccess judgeRootAccess(const std::string& root, std::chrono::milliseconds bound);

}  // namespace photolibrary::folder
