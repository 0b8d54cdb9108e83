// The assets of one folder: its media files and the entry of each group.
#include "photolibrary/folder_library_assets.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <string_view>

#include "photolibrary/folder_library_meta.h"

namespace photolibrary::folder {
namespace {

std::int64_t mtimeNanos(const struct stat& st) {
  return static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
}

// Whether the header of a file stored this way may be read.
bool headerReadable(Storage storage, bool networkAccessAllowed) {
  return storage == Storage::kLocal || (storage == Storage::kNetwork && networkAccessAllowed);
}

}  // namespace

std::vector<DirEntry> listFolder(int dirFd) {
  std::vector<DirEntry> out;
  // A new open file of the folder, not a dup: dups share one read position,
  // so two threads listing the same folder through dups of one descriptor
  // (the kept root) would each get part of the listing.
  int ownFd = ::openat(dirFd, ".", kFolderFlags);
  if (ownFd < 0) return out;
  DIR* dir = ::fdopendir(ownFd);
  if (dir == nullptr) {
    ::close(ownFd);
    return out;
  }
  while (dirent* e = ::readdir(dir)) {
    std::string_view n(e->d_name);
    if (n == "." || n == "..") continue;
    out.push_back({std::string(n), e->d_type});
  }
  ::closedir(dir);
  return out;
}

MediaFiles mediaFilesOf(int dirFd, const std::vector<DirEntry>& entries, const std::set<std::string>* stems) {
  MediaFiles out;
  for (const DirEntry& e : entries) {
    FileKind kind = fileKindOf(e.name);
    bool maybeFile = (e.type == DT_REG || e.type == DT_UNKNOWN) && kind != FileKind::kOther &&
                     (stems == nullptr || stems->count(stemKey(e.name)) > 0);
    bool maybeFolder = stems == nullptr && (e.type == DT_DIR || e.type == DT_UNKNOWN);
    if (!maybeFile && !maybeFolder) continue;
    struct stat st {};
    if (::fstatat(dirFd, e.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (maybeFile && S_ISREG(st.st_mode)) {
      out.files.emplace_back(e.name, kind);
      out.stats[e.name] = st;
    } else if (maybeFolder && S_ISDIR(st.st_mode)) {
      out.folders.push_back(e.name);
    }
  }
  return out;
}

Entry makeEntry(int dirFd, const std::string& relDir, bool hiddenFolder, const FileGroup& group,
                const struct stat& st, const FolderLibraryProbes& probes, bool networkAccessAllowed) {
  // dirFd < 0: the folder went away since the walk; the asset keeps its
  // file dates, as its header cannot be read.
  Entry e;
  Asset& a = e.asset;
  a.localIdentifier = identifierFromPath(joinPath(relDir, group.primary));
  a.mediaType = group.primaryKind == FileKind::kVideo ? MediaType::kVideo : MediaType::kImage;
  a.hidden = hiddenFolder || isHiddenName(group.primary);
  a.mediaSubtypes = group.livePhoto ? kMediaSubtypeLivePhoto : 0;
  std::int64_t created = mtimeNanos(st);
  a.modificationDate = secondsFromNanos(created);
  if (group.primaryKind != FileKind::kVideo && dirFd >= 0 &&
      headerReadable(probes.storage(dirFd, group.primary, st), networkAccessAllowed)) {
    Fd fd(::openat(dirFd, group.primary.c_str(), kFileFlags));
    struct stat now {};
    if (fd.ok() && ::fstat(fd.get(), &now) == 0 && S_ISREG(now.st_mode) && now.st_ino == st.st_ino) {
      HeaderFacts facts = readHeaderFacts(fd.get(), group.primaryKind == FileKind::kRawImage);
      a.pixelWidth = facts.width;
      a.pixelHeight = facts.height;
      if (facts.captureNanos) created = *facts.captureNanos;
    }
  }
  a.creationDate = secondsFromNanos(created);
  for (const auto& [type, name] : group.resources) e.resources.push_back({type, displayName(name)});
  return e;
}

}  // namespace photolibrary::folder
