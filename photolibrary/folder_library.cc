// The folder photo library.
//
// The library is the folder tree below a root folder. Every regular file
// whose extension names an image, raw image or video format is a media file
// (folder_library_names.h has the lists and the grouping of files with one
// stem into Live Photos and RAW+JPEG pairs). What it decides:
//
// - Access is judged on a detached thread, since stat on a dead network
//   mount can hang: see folder::folderAuthorization.
// - The walk never follows a symbolic link, to a file or a folder; every
//   path below the root is opened with openat2 confined beneath the root
//   with no links (or, where openat2 is not available, one component at a
//   time with O_NOFOLLOW).
//   Special files (FIFOs, sockets, devices) are never assets and never
//   opened. Folders that cannot be opened are passed over, and so is a
//   folder met again below itself (a bind mount loop) and anything deeper
//   than kMaxDepth folders.
// - An entry whose name begins with "." is hidden, and so is everything
//   below a hidden folder. Hidden assets are left out of fetches and counts
//   unless the options include them; asked for by identifier they are found.
// - The walk runs once per library object, on the first fetch or count;
//   every later fetch and count answers from it. Resolving identifiers and
//   reading data always go to the file system: they never wait for a walk.
//   The root folder is opened once per library object (the first time it is
//   needed) and every path is resolved below that folder.
// - Dates: the creation date is the EXIF capture time of an image (read from
//   the header only), else the primary file's modification time; the
//   modification date is always that modification time. Headers of files
//   that are not resident are never read (reading them would fetch them),
//   nor, unless the library was opened with network access allowed, those
//   of files on a network file system (reading them is a download).
//   Raw files give their date where libvips can read their header, and
//   their pixel size from LibRaw (their first image is usually a small
//   preview); 0 where LibRaw cannot read them.
// - Without the "newest first" option, fetches come in the same order as
//   with it: creation date descending, then identifier ascending.
// - Original data is the primary file's bytes. A file on a network file
//   system or not resident is "in the cloud": without network access it is
//   answered in-cloud without being opened; with it, it is read in 1 MiB
//   chunks and the progress handler is called after each chunk, on the
//   requesting thread. A file that cannot be read, is no longer a regular
//   file, or exceeds kMaxOriginalBytes answers with an error and no data.
//   A request for lazy data of a local file answers with the open file and
//   its size (fstat) and reads the bytes only when they are asked for, so a
//   caller that needs just the size reads nothing but metadata; a file that
//   cannot be opened still answers with an error.
//   The library never answers degraded or cancelled. A request reads the
//   file its asset's identifier names, opened inside the root exactly as
//   identifiers are resolved (no links, regular media files only); it does
//   not list the folder again to check that the file is still a primary
//   file, which would cost a folder listing per request.
// - Names in records (originalFilename) show bytes that are not UTF-8 as
//   U+FFFD; identifiers escape them (folder_library_names.h).
#include "photolibrary/folder_library.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>
#include <new>
#include <set>
#include <thread>
#include <unordered_map>
#include <utility>

#include "photolibrary/folder_library_meta.h"
#include "photolibrary/folder_library_names.h"
#include "photolibrary/folder_library_open.h"

namespace photolibrary {
namespace {

using folder::FileGroup;
using folder::FileKind;

constexpr int kMaxDepth = 256;
constexpr std::size_t kReadChunk = std::size_t{1} << 20;
constexpr std::size_t kEndRoom = 4096;
constexpr std::uint64_t kMaxOriginalBytes = std::uint64_t{4} << 30;

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

using folder::kFolderFlags;
constexpr int kFileFlags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY;

// The root itself may be reached through a link (a Pictures folder that
// points elsewhere); nothing below it is.
Fd openRoot(const std::string& root) { return Fd(::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)); }

std::vector<std::string> splitPath(const std::string& relDir) {
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

std::string joinPath(const std::string& dir, const std::string& name) {
  return dir.empty() ? name : dir + "/" + name;
}

Fd openFolderBelow(int rootFd, const std::vector<std::string>& parts, std::size_t count) {
  return Fd(folder::openFolderBeneath(rootFd, parts, count));
}

struct DirEntry {
  std::string name;
  unsigned char type;
};

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

// The regular media files of a folder listing, with their lstat. With
// `stems`, only files of those stems are looked at.
struct MediaFiles {
  std::vector<std::pair<std::string, FileKind>> files;
  std::map<std::string, struct stat> stats;
  std::vector<std::string> folders;  // subfolders (not links)
};

MediaFiles mediaFilesOf(int dirFd, const std::vector<DirEntry>& entries, const std::set<std::string>* stems) {
  MediaFiles out;
  for (const DirEntry& e : entries) {
    FileKind kind = folder::fileKindOf(e.name);
    bool maybeFile = (e.type == DT_REG || e.type == DT_UNKNOWN) && kind != FileKind::kOther &&
                     (stems == nullptr || stems->count(folder::stemKey(e.name)) > 0);
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

struct Entry {
  Asset asset;
  std::vector<AssetResource> resources;
};

std::int64_t mtimeNanos(const struct stat& st) {
  return static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
}

// Whether the header of a file stored this way may be read.
bool headerReadable(folder::Storage storage, bool networkAccessAllowed) {
  return storage == folder::Storage::kLocal || (storage == folder::Storage::kNetwork && networkAccessAllowed);
}

// The asset of one group of files in the open folder `dirFd`.
Entry makeEntry(int dirFd, const std::string& relDir, bool hiddenFolder, const FileGroup& group,
                const struct stat& st, const FolderLibraryProbes& probes, bool networkAccessAllowed) {
  // dirFd < 0: the folder went away since the walk; the asset keeps its
  // file dates, as its header cannot be read.
  Entry e;
  Asset& a = e.asset;
  a.localIdentifier = folder::identifierFromPath(joinPath(relDir, group.primary));
  a.mediaType = group.primaryKind == FileKind::kVideo ? MediaType::kVideo : MediaType::kImage;
  a.hidden = hiddenFolder || folder::isHiddenName(group.primary);
  a.mediaSubtypes = group.livePhoto ? kMediaSubtypeLivePhoto : 0;
  std::int64_t created = mtimeNanos(st);
  a.modificationDate = folder::secondsFromNanos(created);
  if (group.primaryKind != FileKind::kVideo && dirFd >= 0 &&
      headerReadable(probes.storage(dirFd, group.primary, st), networkAccessAllowed)) {
    Fd fd(::openat(dirFd, group.primary.c_str(), kFileFlags));
    struct stat now {};
    if (fd.ok() && ::fstat(fd.get(), &now) == 0 && S_ISREG(now.st_mode) && now.st_ino == st.st_ino) {
      folder::HeaderFacts facts = folder::readHeaderFacts(fd.get(), group.primaryKind == FileKind::kRawImage);
      a.pixelWidth = facts.width;
      a.pixelHeight = facts.height;
      if (facts.captureNanos) created = *facts.captureNanos;
    }
  }
  a.creationDate = folder::secondsFromNanos(created);
  for (const auto& [type, name] : group.resources) e.resources.push_back({type, folder::displayName(name)});
  return e;
}

// An entry as the reader process sends it.
void encodeEntry(reader::Encoder& out, const Entry& e) {
  const Asset& a = e.asset;
  out.str(a.localIdentifier).i64(static_cast<int>(a.mediaType));
  out.u64(a.creationDate.has_value()).f64(a.creationDate.value_or(0));
  out.u64(a.modificationDate.has_value()).f64(a.modificationDate.value_or(0));
  out.i64(a.pixelWidth).i64(a.pixelHeight).u64(a.mediaSubtypes).u64(a.hidden);
  out.u64(e.resources.size());
  for (const AssetResource& r : e.resources) out.i64(r.type).str(r.originalFilename);
}

Entry decodeEntry(reader::Decoder& in) {
  Entry e;
  Asset& a = e.asset;
  a.localIdentifier = in.str();
  a.mediaType = static_cast<MediaType>(in.i64());
  auto optionalDate = [&in]() -> std::optional<double> {
    const bool has = in.u64() != 0;
    const double v = in.f64();
    return has ? std::optional<double>(v) : std::nullopt;
  };
  a.creationDate = optionalDate();
  a.modificationDate = optionalDate();
  a.pixelWidth = in.i64();
  a.pixelHeight = in.i64();
  a.mediaSubtypes = in.u64();
  a.hidden = in.u64() != 0;
  for (std::uint64_t k = 0, n = in.u64(); k < n && !in.failed(); ++k) {
    AssetResource r;
    r.type = static_cast<int>(in.i64());
    r.originalFilename = in.str();
    e.resources.push_back(std::move(r));
  }
  return e;
}

// Entries sent one after the other, with their count first; nothing when
// the message is cut short.
std::string encodeEntries(const std::vector<Entry>& entries) {
  reader::Encoder out;
  out.u64(entries.size());
  for (const Entry& e : entries) encodeEntry(out, e);
  return out.bytes();
}

std::optional<std::vector<Entry>> decodeEntries(std::string_view message) {
  reader::Decoder in(message);
  std::vector<Entry> entries;
  for (std::uint64_t k = 0, n = in.u64(); k < n && !in.failed(); ++k) entries.push_back(decodeEntry(in));
  if (in.failed()) return std::nullopt;
  return entries;
}

bool newerFirst(const Entry& x, const Entry& y) {
  double cx = x.asset.creationDate.value_or(0), cy = y.asset.creationDate.value_or(0);
  if (cx != cy) return cx > cy;
  return x.asset.localIdentifier < y.asset.localIdentifier;
}

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
  std::vector<FileGroup> groups = folder::groupFolder(media.files);
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
    walkFolder(sub.get(), joinPath(relDir, name), hiddenFolder || folder::isHiddenName(name), depth + 1, walk);
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

// The primary file of a data request, opened; fd not ok when the answer is
// already given by `info` (in the cloud, or an error).
struct Opened {
  Fd fd;
  std::uint64_t size = 0;  // fstat of the open file
  bool remote = false;     // on a network file system or not resident
};

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
  std::optional<std::span<const std::uint8_t>> bytes() override {
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

 private:
  Opened file_;
  bool read_ = false;
  std::optional<MappedBytes> bytes_;
};

// What the library asks its reader process.
enum ReaderOp : std::uint64_t {
  kOpInventory = 1,    // -> entries (walk and headers)
  kOpIdentifiers = 2,  // count, identifiers -> entries
  kOpOpen = 3,         // identifier, network, read now -> info, has data, size, then read ok or a handle
  kOpRead = 4,         // handle -> bytes frames, read ok
  kOpDrop = 5,         // handle -> nothing
};

void encodeInfo(reader::Encoder& out, const ImageResultInfo& info) {
  out.u64(info.inCloud).u64(info.degraded).u64(info.cancelled).u64(info.hasError);
}

ImageResultInfo decodeInfo(reader::Decoder& in) {
  ImageResultInfo info;
  info.inCloud = in.u64() != 0;
  info.degraded = in.u64() != 0;
  info.cancelled = in.u64() != 0;
  info.hasError = in.u64() != 0;
  return info;
}

// The rest of an answer from the reader: the file's bytes appended to
// `bytes` (null: none expected), the progress handler called for each
// piece of a download, then the answer's last frame; nothing when the
// reader has gone or answered out of turn.
template <typename Bytes>
std::optional<std::string> answerOf(reader::Exchange& x, const std::function<void()>& progress, Bytes* bytes) {
  for (;;) {
    reader::FrameKind kind;
    std::uint64_t length;
    if (!x.next(kind, length)) return std::nullopt;
    if (kind == reader::kEnd) {
      std::string answer;
      if (!x.readString(length, answer)) return std::nullopt;
      return answer;
    }
    if (kind == reader::kProgress && length == 0) {
      if (progress) progress();
    } else if (kind == reader::kBytes && bytes != nullptr && bytes->size() + length <= kMaxOriginalBytes + kEndRoom) {
      const std::size_t have = bytes->size();
      bytes->resize(have + length);
      if (!x.read(bytes->data() + have, length)) return std::nullopt;
    } else {
      return std::nullopt;
    }
  }
}

// Sends a file's bytes as frames of at most one read chunk.
bool sendBytes(ImageData& data, reader::Replier& reply) {
  std::optional<std::span<const std::uint8_t>> bytes = data.bytes();
  if (!bytes) return false;
  for (std::size_t at = 0; at < bytes->size(); at += kReadChunk)
    if (!reply.frame(reader::kBytes, bytes->subspan(at, std::min(kReadChunk, bytes->size() - at)))) return false;
  return true;
}

// A file opened by the reader process: its bytes are read there, when
// asked for, and come over the reader's channel.
class ReaderData : public ImageData {
 public:
  ReaderData(std::shared_ptr<reader::Process> process, std::uint64_t handle, std::int64_t size)
      : process_(std::move(process)), handle_(handle), size_(size) {}
  ~ReaderData() override {
    if (read_) return;
    // Never read: the reader lets its file go. Only on a channel free now,
    // so that this never waits; without one the reader keeps a file open
    // that nobody asks for.
    if (std::optional<reader::Exchange> x = process_->tryLease()) {
      if (x->send(reader::Encoder().u64(kOpDrop).u64(handle_).bytes())) answerOf<MappedBytes>(*x, {}, nullptr);
    }
  }
  std::int64_t size() const override { return size_; }
  std::optional<std::span<const std::uint8_t>> bytes() override {
    if (!read_) {
      read_ = true;
      try {
        MappedBytes data;
        data.reserve(static_cast<std::size_t>(std::max<std::int64_t>(size_, 0)) + kEndRoom);
        reader::Exchange x = process_->lease();
        std::optional<std::string> answer;
        if (x.send(reader::Encoder().u64(kOpRead).u64(handle_).bytes())) answer = answerOf(x, {}, &data);
        const std::string reply = answer.value_or("");  // the decoder reads it in place
        reader::Decoder in(reply);
        if (answer && in.u64() == 1) bytes_ = std::move(data);
      } catch (const std::bad_alloc&) {  // no memory for a file this large: it cannot be read
      }
    }
    if (!bytes_) return std::nullopt;
    return std::span<const std::uint8_t>(*bytes_);
  }

 private:
  std::shared_ptr<reader::Process> process_;
  std::uint64_t handle_;
  std::int64_t size_;
  bool read_ = false;
  std::optional<MappedBytes> bytes_;
};

class FolderLibrary : public PhotoLibrary {
 public:
  FolderLibrary(std::string root, FolderLibraryProbes probes, bool networkAccessAllowed,
                std::optional<std::chrono::system_clock::time_point> headersBy)
      : root_(std::move(root)),
        probes_(std::move(probes)),
        networkAccessAllowed_(networkAccessAllowed),
        headersBy_(headersBy) {}

  void requestAuthorization(std::function<void(AuthorizationStatus)> done) override {
    std::thread([access = probes_.access, root = root_, done = std::move(done)] { done(access(root)); }).detach();
  }

  // Hidden assets are listed only when the options ask for them.
  static bool listed(const Entry& e, const FetchOptions& options) { return options.includeHidden || !e.asset.hidden; }

  std::vector<Asset> fetchAssets(MediaType type, const FetchOptions& options) override {
    auto wanted = [&](const Entry& e) { return e.asset.mediaType == type && listed(e, options); };
    std::vector<Asset> out;
    // Room for the answer and no more: a scan keeps it for the whole run.
    out.reserve(static_cast<std::size_t>(std::count_if(inventory().begin(), inventory().end(), wanted)));
    for (const Entry& e : inventory())
      if (wanted(e)) out.push_back(e.asset);
    return out;
  }

  std::int64_t countAssets(const FetchOptions& options) override {
    return std::count_if(inventory().begin(), inventory().end(), [&](const Entry& e) { return listed(e, options); });
  }

  std::vector<Asset> fetchAssetsWithLocalIdentifiers(std::span<const std::string> identifiers) override {
    std::vector<Asset> out;
    if (!probes_.reader || !probes_.hangRisk.any()) {
      fetchHere(identifiers, out);
      return out;
    }
    // Those on storage that can hang are looked up by the reader.
    std::vector<std::string> far, near;
    for (const std::string& id : identifiers) (viaReader(id) ? far : near).push_back(id);
    if (!far.empty()) {
      reader::Encoder request;
      request.u64(kOpIdentifiers).u64(far.size());
      for (const std::string& id : far) request.str(id);
      std::optional<std::string> answer = probes_.reader->ask(request.bytes());
      std::optional<std::vector<Entry>> entries = answer ? decodeEntries(*answer) : std::nullopt;
      if (entries) {
        for (Entry& e : *entries) {
          remember(e);
          out.push_back(std::move(e.asset));
        }
      } else {
        near.insert(near.end(), far.begin(), far.end());
      }
    }
    fetchHere(near, out);
    return out;
  }

  // What the reader process answers, in the reader (whose library has no
  // reader of its own): one request, its answer through `reply`.
  void serve(std::string_view request, reader::Replier& reply) {
    reader::Decoder in(request);
    reader::Encoder out;
    switch (in.u64()) {
      case kOpInventory:
        reply.frame(reader::kEnd, encodeEntries(inventory()));
        return;
      case kOpIdentifiers: {
        std::vector<std::string> ids;
        for (std::uint64_t k = 0, n = in.u64(); k < n && !in.failed(); ++k) ids.push_back(in.str());
        std::vector<Entry> entries;
        for (Asset& a : fetchAssetsWithLocalIdentifiers(ids)) {
          std::vector<AssetResource> resources = assetResources(a);
          entries.push_back({std::move(a), std::move(resources)});
        }
        reply.frame(reader::kEnd, encodeEntries(entries));
        return;
      }
      case kOpOpen: {
        Asset asset;
        asset.localIdentifier = in.str();
        ImageRequestOptions options;
        options.networkAccessAllowed = in.u64() != 0;
        const bool readNow = in.u64() != 0;
        if (options.networkAccessAllowed)
          options.progressHandler = [&reply] { reply.frame(reader::kProgress, std::string_view()); };
        std::shared_ptr<ImageData> data;
        ImageResultInfo info;
        requestLazyImageData(asset, options, [&](std::shared_ptr<ImageData> d, const ImageResultInfo* i) {
          data = std::move(d);
          if (i != nullptr) info = *i;
        });
        encodeInfo(out, info);
        out.u64(data != nullptr).i64(data ? data->size() : 0);
        if (data && readNow) {
          out.u64(sendBytes(*data, reply));
        } else if (data) {
          std::lock_guard<std::mutex> g(mu_);
          handles_[++lastHandle_] = std::move(data);
          out.u64(lastHandle_);
        }
        break;
      }
      case kOpRead: {
        std::shared_ptr<ImageData> data = takeHandle(in.u64());
        out.u64(data && sendBytes(*data, reply));
        break;
      }
      case kOpDrop:
        takeHandle(in.u64());
        break;
      default:
        break;
    }
    reply.frame(reader::kEnd, out.bytes());
  }

 private:
  // The lookup of `identifiers` in this process.
  void fetchHere(std::span<const std::string> identifiers, std::vector<Asset>& out) {
    if (identifiers.empty()) return;
    int root = rootFd();
    if (root < 0) return;
    // Identifiers by folder, so that each folder is listed once per call.
    std::map<std::vector<std::string>, std::set<std::string>> byFolder;
    for (const std::string& id : identifiers) {
      auto parts = folder::pathFromIdentifier(id);
      if (!parts) continue;
      std::string leaf = std::move(parts->back());
      parts->pop_back();
      byFolder[*parts].insert(std::move(leaf));
    }
    for (const auto& [parts, leaves] : byFolder) {
      Fd dirFd = openFolderBelow(root, parts, parts.size());
      if (!dirFd.ok()) continue;
      std::string relDir;
      bool hiddenFolder = false;
      for (const std::string& p : parts) {
        relDir = joinPath(relDir, p);
        hiddenFolder = hiddenFolder || folder::isHiddenName(p);
      }
      std::set<std::string> stems;
      for (const std::string& leaf : leaves) stems.insert(folder::stemKey(leaf));
      MediaFiles media = mediaFilesOf(dirFd.get(), listFolder(dirFd.get()), &stems);
      for (const FileGroup& g : folder::groupFolder(media.files)) {
        if (leaves.count(g.primary) == 0) continue;  // only an asset's primary file names it
        Entry e =
            makeEntry(dirFd.get(), relDir, hiddenFolder, g, media.stats[g.primary], probes_, networkAccessAllowed_);
        remember(e);
        out.push_back(std::move(e.asset));
      }
    }
  }

 public:
  std::vector<AssetResource> assetResources(const Asset& asset) override {
    {
      std::lock_guard<std::mutex> g(mu_);
      auto it = resources_.empty() ? resources_.end() : resources_.find(asset.localIdentifier);
      if (it != resources_.end()) return it->second;
    }
    if (const Entry* e = walkedEntry(asset.localIdentifier)) return e->resources;
    fetchAssetsWithLocalIdentifiers(std::span<const std::string>(&asset.localIdentifier, 1));
    std::lock_guard<std::mutex> g(mu_);
    auto it = resources_.find(asset.localIdentifier);
    return it == resources_.end() ? std::vector<AssetResource>{} : it->second;
  }

  void requestImageData(const Asset& asset, const ImageRequestOptions& options,
                        const ImageResultHandler& handler) override {
    if (viaReader(asset.localIdentifier)) {
      std::vector<std::uint8_t> data;
      if (std::optional<ReaderOpen> opened = openViaReader(asset, options, &data)) {
        if (!opened->hasData) return handler(nullptr, &opened->info);
        if (!opened->readOk) {
          opened->info.hasError = true;
          return handler(nullptr, &opened->info);
        }
        return handler(&data, &opened->info);
      }
    }
    ImageResultInfo info;
    Opened file = openData(asset, options, info);
    if (!file.fd.ok()) return handler(nullptr, &info);
    std::optional<std::vector<std::uint8_t>> data = readAll(file, options);
    if (!data) {
      info.hasError = true;
      return handler(nullptr, &info);
    }
    handler(&*data, &info);
  }

  // Local files answer with the open file and its size; the bytes are read
  // when asked for. Files in the cloud are read in full here, as
  // requestImageData reads them (the download and its progress calls belong
  // to the request).
  void requestLazyImageData(const Asset& asset, const ImageRequestOptions& options,
                            const LazyImageResultHandler& handler) override {
    if (viaReader(asset.localIdentifier)) {
      if (std::optional<ReaderOpen> opened = openViaReader<std::vector<std::uint8_t>>(asset, options, nullptr)) {
        if (!opened->hasData) return handler(nullptr, &opened->info);
        return handler(std::make_shared<ReaderData>(probes_.reader, opened->handle, opened->size), &opened->info);
      }
    }
    ImageResultInfo info;
    Opened file = openData(asset, options, info);
    if (!file.fd.ok()) return handler(nullptr, &info);
    if (file.remote) {
      std::optional<std::vector<std::uint8_t>> data = readAll(file, options);
      if (!data) {
        info.hasError = true;
        return handler(nullptr, &info);
      }
      return handler(std::make_shared<InMemoryImageData>(std::move(*data)), &info);
    }
    handler(std::make_shared<FileData>(std::move(file)), &info);
  }

 private:
  // Whether the asset's file is on storage that can hang and the reader
  // process reads it.
  bool viaReader(const std::string& id) const {
    if (!probes_.reader || !probes_.hangRisk.any()) return false;
    std::optional<std::vector<std::string>> parts = folder::pathFromIdentifier(id);
    return parts && probes_.hangRisk.covers(*parts, parts->size());
  }

  struct ReaderOpen {
    ImageResultInfo info;
    bool hasData = false;
    std::int64_t size = 0;
    bool readOk = false;       // with the bytes read at once
    std::uint64_t handle = 0;  // otherwise
  };

  // A data request through the reader; with `bytes`, the file is read at
  // once into it. Nothing when the reader has gone.
  template <typename Bytes>
  std::optional<ReaderOpen> openViaReader(const Asset& asset, const ImageRequestOptions& options, Bytes* bytes) {
    reader::Exchange x = probes_.reader->lease();
    reader::Encoder request;
    request.u64(kOpOpen).str(asset.localIdentifier).u64(options.networkAccessAllowed).u64(bytes != nullptr);
    std::optional<std::string> answer;
    if (x.send(request.bytes())) answer = answerOf(x, options.progressHandler, bytes);
    if (!answer) return std::nullopt;
    reader::Decoder in(*answer);
    ReaderOpen opened;
    opened.info = decodeInfo(in);
    opened.hasData = in.u64() != 0;
    opened.size = in.i64();
    if (opened.hasData && bytes != nullptr) opened.readOk = in.u64() != 0;
    else if (opened.hasData) opened.handle = in.u64();
    if (in.failed()) return std::nullopt;
    return opened;
  }

  // Takes a handle of the reader's table of open files; null when unknown.
  std::shared_ptr<ImageData> takeHandle(std::uint64_t handle) {
    std::lock_guard<std::mutex> g(mu_);
    auto it = handles_.find(handle);
    if (it == handles_.end()) return nullptr;
    std::shared_ptr<ImageData> data = std::move(it->second);
    handles_.erase(it);
    return data;
  }

  // The root folder, opened on first use and kept for the library's life:
  // every resolution starts from it. -1 while it cannot be opened (then
  // tried again on the next call).
  int rootFd() {
    std::lock_guard<std::mutex> g(rootMu_);
    if (!rootFd_.ok()) rootFd_ = openRoot(root_);
    return rootFd_.get();
  }

  // Opens the file the asset's identifier names, exactly as identifiers are
  // resolved; fills `info` when there is nothing to read.
  Opened openData(const Asset& asset, const ImageRequestOptions& options, ImageResultInfo& info) {
    Opened file;
    info.hasError = true;
    auto parts = folder::pathFromIdentifier(asset.localIdentifier);
    if (!parts || folder::fileKindOf(parts->back()) == FileKind::kOther) return file;
    int root = rootFd();
    if (root < 0) return file;
    Fd dirFd = openFolderBelow(root, *parts, parts->size() - 1);
    if (!dirFd.ok()) return file;
    const std::string& leaf = parts->back();
    struct stat st {};
    if (::fstatat(dirFd.get(), leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode)) return file;
    file.remote = probes_.storage(dirFd.get(), leaf, st) != folder::Storage::kLocal;
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

  const std::vector<Entry>& inventory() {
    std::call_once(walked_, [this] {
      // Where any of the library is on storage that can hang, the reader
      // walks it and reads the headers.
      std::optional<std::vector<Entry>> far;
      if (probes_.reader && probes_.hangRisk.any()) {
        std::optional<std::string> answer = probes_.reader->ask(reader::Encoder().u64(kOpInventory).bytes());
        if (answer) far = decodeEntries(*answer);
      }
      if (far) {
        inventory_ = std::move(*far);
      } else {
        int root = rootFd();
        if (root < 0) return;
        Walk walk;
        struct stat st {};
        if (::fstat(root, &st) == 0) walk.ancestors.insert({st.st_dev, st.st_ino});
        walkFolder(root, "", false, 0, walk);
        inventory_ = readFound(root, std::move(walk), probes_, networkAccessAllowed_, headersBy_);
      }
      std::sort(inventory_.begin(), inventory_.end(), newerFirst);
      byIdentifier_.resize(inventory_.size());
      for (std::size_t k = 0; k < inventory_.size(); ++k) byIdentifier_[k] = static_cast<std::uint32_t>(k);
      std::sort(byIdentifier_.begin(), byIdentifier_.end(), [this](std::uint32_t a, std::uint32_t b) {
        return inventory_[a].asset.localIdentifier < inventory_[b].asset.localIdentifier;
      });
      // The walk's answer is now the latest one for the assets it found.
      std::lock_guard<std::mutex> g(mu_);
      if (!resources_.empty())
        for (const Entry& e : inventory_) resources_.erase(e.asset.localIdentifier);
      walkDone_.store(true, std::memory_order_release);
    });
    return inventory_;
  }

  // The walk's entry of this identifier; null when the walk has not been
  // taken or did not find it. The walk's resources are looked up here
  // rather than copied into resources_: a second copy of every asset's
  // identifier and resources would double what the inventory holds.
  const Entry* walkedEntry(const std::string& id) const {
    if (!walkDone_.load(std::memory_order_acquire)) return nullptr;
    auto it = std::lower_bound(byIdentifier_.begin(), byIdentifier_.end(), id,
                               [this](std::uint32_t k, const std::string& v) {
                                 return inventory_[k].asset.localIdentifier < v;
                               });
    if (it == byIdentifier_.end() || inventory_[*it].asset.localIdentifier != id) return nullptr;
    return &inventory_[*it];
  }

  void remember(const Entry& e) {
    std::lock_guard<std::mutex> g(mu_);
    resources_[e.asset.localIdentifier] = e.resources;
  }

  const std::string root_;
  std::mutex rootMu_;
  Fd rootFd_;  // see rootFd()
  const FolderLibraryProbes probes_;
  const bool networkAccessAllowed_;
  const std::optional<std::chrono::system_clock::time_point> headersBy_;
  std::once_flag walked_;
  std::vector<Entry> inventory_;         // written once inside walked_
  std::vector<std::uint32_t> byIdentifier_;  // inventory_ positions by identifier, likewise
  std::atomic<bool> walkDone_{false};       // set once both are written
  std::mutex mu_;
  std::unordered_map<std::string, std::vector<AssetResource>> resources_;
  // In the reader process: the files opened for data requests and not yet
  // read, by handle. Guarded by mu_.
  std::unordered_map<std::uint64_t, std::shared_ptr<ImageData>> handles_;
  std::uint64_t lastHandle_ = 0;
};

std::string homeFolder() {
  if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') return home;
  std::vector<char> buf(16384);
  passwd pw{};
  passwd* result = nullptr;
  if (::getpwuid_r(::geteuid(), &pw, buf.data(), buf.size(), &result) == 0 && result != nullptr &&
      result->pw_dir != nullptr)
    return result->pw_dir;
  return "/";
}

}  // namespace

std::optional<std::string> picturesDirFromUserDirs(const std::string& text, const std::string& home) {
  std::optional<std::string> found;
  std::size_t pos = 0;
  while (pos <= text.size()) {
    std::size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    std::string_view line(text.data() + pos, end - pos);
    pos = end + 1;
    while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
    constexpr std::string_view kKey = "XDG_PICTURES_DIR=";
    if (!line.starts_with(kKey)) continue;
    line.remove_prefix(kKey.size());
    if (line.empty() || line.front() != '"') continue;
    std::string value;
    bool closed = false;
    for (std::size_t k = 1; k < line.size(); ++k) {
      if (line[k] == '\\' && k + 1 < line.size()) {
        value += line[++k];
      } else if (line[k] == '"') {
        closed = true;
        break;
      } else {
        value += line[k];
      }
    }
    if (!closed) continue;
    if (value.starts_with("$HOME")) {
      std::string rest = value.substr(5);
      if (!rest.empty() && rest.front() != '/') continue;
      // A pictures folder set to the home folder itself means "none".
      if (rest.find_first_not_of('/') == std::string::npos) continue;
      found = home + rest;
    } else if (value.starts_with("/")) {
      found = value;
    }
  }
  return found;
}

FolderLibraryProbes systemProbes() {
  FolderLibraryProbes p;
  p.storage = [](int dirFd, const std::string&, const struct stat& st) { return folder::storageOf(dirFd, st); };
  p.access = folder::folderAuthorization;
  return p;
}

std::unique_ptr<PhotoLibrary> openFolderLibrary(const std::string& root, bool networkAccessAllowed) {
  return openFolderLibrary(root, systemProbes(), networkAccessAllowed);
}

std::unique_ptr<PhotoLibrary> openFolderLibrary(const std::string& root, FolderLibraryProbes probes,
                                                bool networkAccessAllowed,
                                                std::optional<std::chrono::system_clock::time_point> headersBy) {
  FolderLibraryProbes real = systemProbes();
  if (!probes.storage) probes.storage = real.storage;
  if (!probes.access) probes.access = real.access;
  return std::make_unique<FolderLibrary>(root, std::move(probes), networkAccessAllowed, headersBy);
}

std::shared_ptr<reader::Process> startFolderReader(const std::string& root, bool networkAccessAllowed,
                                                   std::optional<std::chrono::system_clock::time_point> headersBy,
                                                   std::function<void()> lockDown) {
  // The reader's own library, made in the reader once it is locked down.
  auto served = std::make_shared<std::unique_ptr<FolderLibrary>>();
  reader::Setup setup;
  // Enough channels for every thread that may ask at once (a scan's
  // pipeline, its fingerprint threads, the cloud workers); more callers wait.
  setup.channels = 2 * static_cast<int>(std::max(1u, std::thread::hardware_concurrency())) + 9;
  setup.lockDown = std::move(lockDown);
  setup.prepare = [served, root, networkAccessAllowed, headersBy] {
    *served = std::make_unique<FolderLibrary>(root, systemProbes(), networkAccessAllowed, headersBy);
  };
  setup.serve = [served](std::string_view request, reader::Replier& reply) { (*served)->serve(request, reply); };
  return reader::Process::start(std::move(setup));
}

std::string libraryRootFromArgs(const std::vector<std::string>& args) {
  // Like every option, the last one that has a value wins.
  for (std::size_t i = args.size(); i-- > 1;)
    if (args[i - 1] == "--library") return args[i];
  std::string home = homeFolder();
  std::string config;
  if (const char* x = std::getenv("XDG_CONFIG_HOME"); x != nullptr && x[0] == '/') config = x;
  else config = home + "/.config";
  std::ifstream in(config + "/user-dirs.dirs", std::ios::binary);
  if (in) {
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (auto dir = picturesDirFromUserDirs(text, home)) return *dir;
  }
  return home == "/" ? "/Pictures" : home + "/Pictures";
}

}  // namespace photolibrary
