// Where the folder photo library's files live, and what access the process
// has to the library folder.
#pragma once

#include <sys/stat.h>

#include <string>
#include <string_view>

#include "platform/photo_library.h"

namespace platform::folder {

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

}  // namespace platform::folder
