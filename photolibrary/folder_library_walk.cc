// The inventory walk and its header reads.
#include "photolibrary/folder_library_walk.h"

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>

#include "photolibrary/folder_library_assets.h"
#include "photolibrary/folder_library_names.h"

namespace photolibrary::folder {
namespace {

constexpr int kMaxDepth = 256;

// What the walk keeps of a file's lstat until its header is read: what
// makeEntry and the storage probe look at (storageOf: device, size, blocks),
// a third of a struct stat.
struct FileStat {
  dev_t dev;
  ino_t ino;
  mode_t mode;
  off_t size;
  blkcnt_t blocks;
  struct timespec mtim;

  explicit FileStat(const struct stat& st)
      : dev(st.st_dev), ino(st.st_ino), mode(st.st_mode), size(st.st_size), blocks(st.st_blocks), mtim(st.st_mtim) {}
  // A struct stat with these fields, the others zero.
  struct stat full() const {
    struct stat st {};
    st.st_dev = dev;
    st.st_ino = ino;
    st.st_mode = mode;
    st.st_size = size;
    st.st_blocks = blocks;
    st.st_mtim = mtim;
    return st;
  }
};

// A folder the walk found assets in.
struct FoundFolder {
  std::string relDir;
  bool hidden;  // hidden itself or below a hidden folder
};

// One asset found by the walk, before its header is read.
struct Found {
  std::uint32_t folder;  // position in the walk's folders
  FileGroup group;
  FileStat st;
};

struct Walk {
  std::vector<FoundFolder> folders;
  std::vector<Found> found;
  std::set<std::pair<dev_t, ino_t>> ancestors;
};

void walkFolder(int dirFd, const std::string& relDir, bool hiddenFolder, int depth, Walk& walk) {
  MediaFiles media = mediaFilesOf(dirFd, listFolder(dirFd), nullptr);
  std::vector<FileGroup> groups = groupFolder(media.files);
  if (!groups.empty()) walk.folders.push_back({relDir, hiddenFolder});
  for (FileGroup& g : groups) {
    FileStat st(media.stats[g.primary]);
    walk.found.push_back({static_cast<std::uint32_t>(walk.folders.size() - 1), std::move(g), st});
  }
  if (depth >= kMaxDepth) return;
  std::sort(media.folders.begin(), media.folders.end());
  for (const std::string& name : media.folders) {
    Fd sub(::openat(dirFd, name.c_str(), kFolderFlags));
    struct stat st {};
    if (!sub.ok() || ::fstat(sub.get(), &st) != 0) continue;  // unreadable: passed over
    auto key = std::make_pair(st.st_dev, st.st_ino);
    if (!walk.ancestors.insert(key).second) continue;
    walkFolder(sub.get(), joinPath(relDir, name), hiddenFolder || isHiddenName(name), depth + 1, walk);
    walk.ancestors.erase(key);
  }
}

// Reads the headers of everything found, on a few threads: header reads
// are small and many, and on a network mount mostly waiting. A read can
// hang (a dead mount, a stuck disk), so the threads are detached and share
// what they use, and the caller waits for them at most until `headersBy`:
// an asset whose header has not come by then keeps its file dates and a
// pixel size of 0, as if its header could not be read. A thread still
// blocked then writes nothing afterwards.
std::vector<Entry> readFound(int rootFd, Walk walk, const FolderLibraryProbes& probes, bool networkAccessAllowed,
                             std::optional<std::chrono::system_clock::time_point> headersBy) {
  struct Shared {
    Fd root;
    Walk walk;
    FolderLibraryProbes probes;
    bool network;
    std::atomic<std::size_t> next{0};
    std::mutex mu;
    std::condition_variable progressed;
    std::vector<Entry> entries;  // guarded by mu, like the two below
    std::vector<bool> done;
    std::size_t doneCount = 0;
    bool abandoned = false;
  };
  auto sh = std::make_shared<Shared>();
  sh->root = Fd(::fcntl(rootFd, F_DUPFD_CLOEXEC, 0));
  sh->walk = std::move(walk);
  sh->probes = probes;
  sh->network = networkAccessAllowed;
  const std::size_t count = sh->walk.found.size();
  sh->entries.resize(count);
  sh->done.assign(count, false);
  auto work = [sh, count] {
    std::optional<std::uint32_t> openFolder;
    Fd dirFd;
    for (std::size_t k; (k = sh->next.fetch_add(1)) < count;) {
      const Found& f = sh->walk.found[k];
      const FoundFolder& where = sh->walk.folders[f.folder];
      if (!dirFd.ok() || openFolder != f.folder) {
        std::vector<std::string> parts = splitPath(where.relDir);
        dirFd = openFolderBelow(sh->root.get(), parts, parts.size());
        openFolder = f.folder;
      }
      Entry e = makeEntry(dirFd.get(), where.relDir, where.hidden, f.group, f.st.full(), sh->probes, sh->network);
      std::lock_guard<std::mutex> g(sh->mu);
      if (sh->abandoned) return;
      sh->entries[k] = std::move(e);
      sh->done[k] = true;
      if (++sh->doneCount == count) sh->progressed.notify_all();
    }
  };
  unsigned n = std::clamp(std::thread::hardware_concurrency(), 2u, 8u);
  n = static_cast<unsigned>(std::clamp<std::size_t>((count + 15) / 16, 1, n));
  if (count > 0)
    for (unsigned t = 0; t < n; ++t) std::thread(work).detach();
  std::unique_lock<std::mutex> g(sh->mu);
  auto allDone = [&] { return sh->doneCount == count; };
  if (headersBy) sh->progressed.wait_until(g, *headersBy, allDone);
  else sh->progressed.wait(g, allDone);
  sh->abandoned = true;
  for (std::size_t k = 0; k < count; ++k) {
    if (sh->done[k]) continue;
    const Found& f = sh->walk.found[k];
    const FoundFolder& where = sh->walk.folders[f.folder];
    sh->entries[k] = makeEntry(-1, where.relDir, where.hidden, f.group, f.st.full(), sh->probes, sh->network);
  }
  return std::move(sh->entries);
}

}  // namespace

std::vector<Entry> walkLibrary(int rootFd, const FolderLibraryProbes& probes, bool networkAccessAllowed,
                               std::optional<std::chrono::system_clock::time_point> headersBy) {
  Walk walk;
  struct stat st {};
  if (::fstat(rootFd, &st) == 0) walk.ancestors.insert({st.st_dev, st.st_ino});
  walkFolder(rootFd, "", false, 0, walk);
  return readFound(rootFd, std::move(walk), probes, networkAccessAllowed, headersBy);
}

}  // namespace photolibrary::folder
