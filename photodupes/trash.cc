#include "photodupes/trash.h"

#include <dirent.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <map>
#include <memory>
#include <utility>

#include "photodupes/file_state.h"
#include "photolibrary/folder_library_open.h"

namespace photodupes {
namespace {

namespace fs = std::filesystem;

// A descriptor that closes itself.
struct Fd {
  int fd = -1;
  explicit Fd(int f = -1) : fd(f) {}
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(Fd&& o) noexcept {
    std::swap(fd, o.fd);
    return *this;
  }
};

std::string errnoText(const std::string& what) { return what + ": " + std::strerror(errno); }

// A folder of ours: a real folder (not a link) owned by us; created with
// mode 0700 when missing.
bool ownFolder(const std::string& dir, std::string& error) {
  if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) return error = errnoText("cannot create " + dir), false;
  struct stat st;
  if (::lstat(dir.c_str(), &st) != 0) return error = errnoText("cannot read " + dir), false;
  if (!S_ISDIR(st.st_mode) || st.st_uid != ::getuid())
    return error = dir + " is not a folder of this user (or is a link): it is not used as a Trash", false;
  return true;
}

// The top folder of the mount holding `path` (on device `dev`).
std::string mountTop(const std::string& path, std::uint64_t dev) {
  fs::path at = fs::path(path).parent_path();
  while (at.has_parent_path() && at != at.parent_path()) {
    struct stat st;
    if (::lstat(at.parent_path().c_str(), &st) != 0 || st.st_dev != dev) break;
    at = at.parent_path();
  }
  return at.string();
}

// The device of the nearest folder of `path` that exists.
std::optional<std::uint64_t> deviceOf(fs::path path) {
  for (;;) {
    struct stat st;
    if (::stat(path.c_str(), &st) == 0) return st.st_dev;
    if (!path.has_parent_path() || path == path.parent_path()) return std::nullopt;
    path = path.parent_path();
  }
}

std::string localDate() {
  std::time_t t = std::time(nullptr);
  std::tm tm{};
  localtime_r(&t, &tm);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", &tm);
  return buf;
}

// The relative path of `path` below `root`, split; nothing when not below.
std::optional<std::vector<std::string>> partsBelow(const std::string& root, const std::string& path) {
  std::string base = root;
  while (base.size() > 1 && base.back() == '/') base.pop_back();
  if (path.size() <= base.size() + 1 || path.compare(0, base.size(), base) != 0 ||
      (base != "/" && path[base.size()] != '/'))
    return std::nullopt;
  std::vector<std::string> parts;
  std::size_t at = base == "/" ? 1 : base.size() + 1;
  while (at <= path.size()) {
    std::size_t slash = path.find('/', at);
    if (slash == std::string::npos) slash = path.size();
    std::string part = path.substr(at, slash - at);
    if (part.empty() || part == "." || part == "..") return std::nullopt;
    parts.push_back(std::move(part));
    at = slash + 1;
  }
  return parts;
}

class SystemTrashEnv : public TrashEnv {
 private:
  // A Trash: its folder, and the top folder of its mount for one outside
  // the home (empty for the home's, whose .trashinfo paths are absolute).
  struct Where {
    std::string trash, top;
  };
  static constexpr std::size_t kBuffer = 1 << 20;
  std::unique_ptr<char[]> buffer_;
  std::map<std::pair<std::string, std::uint64_t>, Where> trashes_;  // by data folder and device
  // A .trashinfo written since flush() on each file system that has one.
  std::map<std::uint64_t, std::unique_ptr<Fd>> unsynced_;
  const uid_t uid_ = ::getuid();

  // The Trash of the file at `path` on device `dev`, its folders created
  // where missing and checked to be ours.
  std::optional<Where> findTrash(const std::string& path, std::uint64_t dev, const std::string& dataHome,
                                        const char* home, std::string& error) const {
    Where w;
    if (home && *home && deviceOf(dataHome + "/Trash") == dev) {
      std::error_code ec;
      fs::create_directories(dataHome, ec);
      w.trash = dataHome + "/Trash";
      if (!ownFolder(w.trash, error)) return std::nullopt;
    } else {
      w.top = mountTop(path, dev);
      const std::string uid = std::to_string(::getuid());
      struct stat st;
      const std::string shared = w.top + "/.Trash";
      std::string ignored;
      if (::lstat(shared.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && (st.st_mode & S_ISVTX) &&
          ownFolder(shared + "/" + uid, ignored))
        w.trash = shared + "/" + uid;
      else if (ownFolder(w.top + "/.Trash-" + uid, error))
        w.trash = w.top + "/.Trash-" + uid;
      else
        return std::nullopt;
    }
    if (!ownFolder(w.trash + "/files", error) || !ownFolder(w.trash + "/info", error)) return std::nullopt;
    if (!stillOurs(w.trash, dev)) return error = "its Trash " + w.trash + " is on another file system", std::nullopt;
    return w;
  }

  // The Trash and its two folders are still real folders of ours (not
  // links), on device `dev`.
  bool stillOurs(const std::string& trash, std::uint64_t dev) const {
    for (const std::string& dir : {trash, trash + "/files", trash + "/info"}) {
      struct stat st;
      if (::lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != uid_ ||
          static_cast<std::uint64_t>(st.st_dev) != dev)
        return false;
    }
    return true;
  }

 public:
  std::optional<FileStat> stat(const std::string& path) override { return statFile(path); }

  std::optional<std::string> sha256(const std::string& path) override {
    Fd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (fd.fd < 0) return std::nullopt;
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    EVP_DigestInit_ex(ctx, EVP_sha256(), nullptr);
    if (!buffer_) buffer_.reset(new char[kBuffer]);  // not cleared: only what read() filled is used
    ssize_t n;
    while ((n = ::read(fd.fd, buffer_.get(), kBuffer)) > 0) EVP_DigestUpdate(ctx, buffer_.get(), static_cast<size_t>(n));
    unsigned char md[32];
    unsigned len = 0;
    EVP_DigestFinal_ex(ctx, md, &len);
    EVP_MD_CTX_free(ctx);
    if (n < 0) return std::nullopt;
    static const char* hex = "0123456789abcdef";
    std::string out;
    for (unsigned i = 0; i < len; ++i) out += hex[md[i] >> 4], out += hex[md[i] & 15];
    return out;
  }

  std::vector<std::string> namesBeside(const std::string& path) override {
    std::vector<std::string> out;
    const std::string dir = fs::path(path).parent_path().string();
    DIR* d = ::opendir(dir.c_str());
    if (!d) return out;
    while (dirent* e = ::readdir(d)) {
      struct stat st;
      if (::fstatat(::dirfd(d), e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode))
        out.emplace_back(e->d_name);
    }
    ::closedir(d);
    return out;
  }

  std::optional<TrashPlace> reserve(const std::string& path, std::uint64_t dev, std::string& error) override {
    const char* xdg = std::getenv("XDG_DATA_HOME");
    const char* home = std::getenv("HOME");
    std::string dataHome = xdg && xdg[0] == '/' ? xdg : std::string(home && *home ? home : "") + "/.local/share";
    // Found once per file system; checked again for every file (three lstat
    // calls), and found again when it no longer passes.
    const auto key = std::make_pair(dataHome, dev);
    auto known = trashes_.find(key);
    if (known == trashes_.end() || !stillOurs(known->second.trash, dev)) {
      auto found = findTrash(path, dev, dataHome, home, error);
      if (!found) return std::nullopt;
      known = trashes_.insert_or_assign(key, *found).first;
    }
    const Where& where = known->second;
    const std::string infoPath =
        trashPathEncode(where.top.empty() ? path : path.substr(where.top == "/" ? 1 : where.top.size() + 1));
    const std::string& trash = where.trash;

    const std::string text = "[Trash Info]\nPath=" + infoPath + "\nDeletionDate=" + localDate() + "\n";
    const fs::path name = fs::path(path).filename();
    const std::string stem = name.stem().string(), ext = name.extension().string();
    for (int n = 1; n < 10000; ++n) {
      const std::string candidate = n == 1 ? name.string() : stem + "." + std::to_string(n) + ext;
      TrashPlace place{trash + "/files/" + candidate, trash + "/info/" + candidate + ".trashinfo"};
      Fd fd(::open(place.info.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
      if (fd.fd < 0) {
        if (errno == EEXIST) continue;
        return error = errnoText("cannot write " + place.info), std::nullopt;
      }
      struct stat st;
      if (::lstat(place.file.c_str(), &st) == 0) {  // a file without its .trashinfo: leave that name alone
        ::unlink(place.info.c_str());
        continue;
      }
      if (::write(fd.fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
        error = errnoText("cannot write " + place.info);
        ::unlink(place.info.c_str());
        return std::nullopt;
      }
      if (!unsynced_.count(dev)) unsynced_[dev] = std::make_unique<Fd>(std::exchange(fd.fd, -1));
      return place;
    }
    return error = "no free name in " + trash, std::nullopt;
  }

  bool flush(std::string& error) override {
    // One syncfs per file system writes out every .trashinfo of the chunk
    // in one commit of the file system, where an fsync per file costs one
    // commit each. It reports a failed write-back of any of them.
    bool ok = true;
    for (const auto& [dev, fd] : unsynced_)
      if (::syncfs(fd->fd) != 0 && ok) ok = false, error = errnoText("cannot write the .trashinfo files to disk");
    unsynced_.clear();
    return ok;
  }

  bool moveIn(const std::string& root, const std::string& path, const FileStat& expected, const TrashPlace& place,
              std::string& error) override {
    auto parts = partsBelow(root, path);
    if (!parts) return error = path + " is not below the library " + root, false;
    Fd rootFd(::open(root.c_str(), photolibrary::folder::kFolderFlags & ~O_NOFOLLOW));
    Fd dir(rootFd.fd < 0 ? -1 : photolibrary::folder::openFolderBeneath(rootFd.fd, *parts, parts->size() - 1));
    if (dir.fd < 0) return error = "its folder cannot be reached without following a link", false;
    struct stat st;
    if (::fstatat(dir.fd, parts->back().c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode))
      return error = "it is no longer there", false;
    const FileStat now{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino), st.st_size,
                       st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec,
                       st.st_ctim.tv_sec * 1000000000LL + st.st_ctim.tv_nsec};
    if (!(now == expected)) return error = "it changed just before the move", false;
    if (::renameat2(dir.fd, parts->back().c_str(), AT_FDCWD, place.file.c_str(), RENAME_NOREPLACE) != 0)
      return error = errno == EXDEV ? "its Trash is on another file system" : errnoText("cannot move it"), false;
    return true;
  }

  bool moveOut(const std::string& root, const TrashPlace& place, const std::string& path,
               std::string& error) override {
    auto parts = partsBelow(root, path);
    if (!parts) return error = path + " is not below the library " + root, false;
    Fd dir(::open(root.c_str(), photolibrary::folder::kFolderFlags & ~O_NOFOLLOW));
    if (dir.fd < 0) return error = errnoText("cannot open the library " + root), false;
    // One component at a time, never through a link, creating what is missing.
    for (std::size_t k = 0; k + 1 < parts->size(); ++k) {
      const char* name = (*parts)[k].c_str();
      Fd next(::openat(dir.fd, name, photolibrary::folder::kFolderFlags));
      if (next.fd < 0 && errno == ENOENT && ::mkdirat(dir.fd, name, 0777) == 0)
        next = Fd(::openat(dir.fd, name, photolibrary::folder::kFolderFlags));
      if (next.fd < 0) return error = errnoText("cannot reach the folder " + (*parts)[k]), false;
      dir = std::move(next);
    }
    if (::renameat2(AT_FDCWD, place.file.c_str(), dir.fd, parts->back().c_str(), RENAME_NOREPLACE) != 0)
      return error = errno == EEXIST ? "something else stands at " + path + " now" : errnoText("cannot move it back"),
             false;
    return true;
  }

  void release(const TrashPlace& place) override { ::unlink(place.info.c_str()); }
};

}  // namespace

std::unique_ptr<TrashEnv> systemTrashEnv() { return std::make_unique<SystemTrashEnv>(); }

std::string trashPathEncode(const std::string& path) {
  static const char* hex = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : path) {
    if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '-' || c == '_' || c == '.' || c == '~' || c == '/')
      out += static_cast<char>(c);
    else
      out += '%', out += hex[c >> 4], out += hex[c & 15];
  }
  return out;
}

}  // namespace photodupes
