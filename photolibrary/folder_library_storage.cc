#include "photolibrary/folder_library_storage.h"

#include <fcntl.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

namespace photolibrary::folder {
namespace {

constexpr unsigned long kNfsMagic = 0x6969;
constexpr unsigned long kSmbMagic = 0x517B;
constexpr unsigned long kCifsMagic = 0xFF534D42;
constexpr unsigned long kSmb2Magic = 0xFE534D42;
constexpr unsigned long kAfsMagic = 0x5346414F;
constexpr unsigned long kCephMagic = 0x00C36400;
constexpr unsigned long kCodaMagic = 0x73757245;
constexpr unsigned long kNcpMagic = 0x564C;
constexpr unsigned long kFuseMagic = 0x65735546;
constexpr unsigned long kV9fsMagic = 0x01021997;
constexpr unsigned long kAfsFsMagic = 0x6B414653;
constexpr unsigned long kLustreMagic = 0x0BD00BD0;
constexpr unsigned long kGfs2Magic = 0x01161970;
constexpr unsigned long kOcfs2Magic = 0x7461636F;
constexpr unsigned long kOrangefsMagic = 0x20030528;

// A mountinfo path field with its octal escapes ("\040" for a space) undone.
std::string unescapeMountPath(std::string_view field) {
  std::string out;
  for (std::size_t k = 0; k < field.size(); ++k) {
    if (field[k] == '\\' && k + 3 < field.size() && field[k + 1] >= '0' && field[k + 1] <= '3') {
      out += static_cast<char>((field[k + 1] - '0') * 64 + (field[k + 2] - '0') * 8 + (field[k + 3] - '0'));
      k += 3;
    } else {
      out += field[k];
    }
  }
  return out;
}

// File system type and source of the mount with this device number, read
// from /proc/self/mountinfo; empty when not found.
std::pair<std::string, std::string> mountOf(dev_t dev) {
  std::pair<std::string, std::string> found;
  FILE* f = std::fopen("/proc/self/mountinfo", "re");
  if (f == nullptr) return found;
  const std::string want = std::to_string(major(dev)) + ":" + std::to_string(minor(dev));
  char* line = nullptr;
  std::size_t cap = 0;
  while (getline(&line, &cap, f) > 0) {
    // "36 35 98:0 /root /mnt opts [optional fields] - fstype source superopts"
    std::string_view l(line);
    std::size_t a = l.find(' '), b = a == l.npos ? l.npos : l.find(' ', a + 1);
    std::size_t c = b == l.npos ? l.npos : l.find(' ', b + 1);
    if (c == l.npos || l.substr(b + 1, c - b - 1) != want) continue;
    std::size_t dash = l.find(" - ");
    if (dash == l.npos) continue;
    std::string_view rest = l.substr(dash + 3);
    std::size_t s1 = rest.find(' ');
    std::size_t s2 = s1 == rest.npos ? rest.npos : rest.find(' ', s1 + 1);
    found.first = std::string(rest.substr(0, s1));
    if (s1 != rest.npos) found.second = std::string(rest.substr(s1 + 1, s2 == rest.npos ? rest.npos : s2 - s1 - 1));
    break;
  }
  free(line);
  std::fclose(f);
  return found;
}

bool isNetworkFolder(int dirFd, dev_t dev) {
  static std::mutex mu;
  static std::map<dev_t, bool> known;  // mounts rarely change during one run
  {
    std::lock_guard<std::mutex> g(mu);
    auto it = known.find(dev);
    if (it != known.end()) return it->second;
  }
  struct statfs fs {};
  bool network = false;
  if (fstatfs(dirFd, &fs) == 0) {
    auto type = static_cast<unsigned long>(fs.f_type);
    switch (type) {
      case kNfsMagic: case kSmbMagic: case kCifsMagic: case kSmb2Magic:
      case kAfsMagic: case kCephMagic: case kCodaMagic: case kNcpMagic:
        network = true;
        break;
      case kFuseMagic: {
        auto [fsType, source] = mountOf(dev);
        network = isRemoteFuseMount(fsType, source);
        break;
      }
      default:
        break;
    }
  }
  std::lock_guard<std::mutex> g(mu);
  known[dev] = network;
  return network;
}

}  // namespace

bool isRemoteFuseMount(std::string_view fsType, std::string_view source) {
  static constexpr std::string_view kRemote[] = {
      "sshfs", "rclone", "davfs", "s3fs", "gcsfuse", "goofys", "curlftpfs", "glusterfs",
      "gvfsd-fuse", "onedriver", "blobfuse", "blobfuse2", "ftpfs", "httpfs", "wdfs"};
  std::string_view sub = fsType;
  if (sub.starts_with("fuse.")) sub.remove_prefix(5);
  for (std::string_view r : kRemote)
    if (sub == r) return true;
  // A plain "fuse" mount of a URL (davfs2 shows "https://..."), or an
  // ssh-style "user@host:path" source.
  if (source.find("://") != std::string_view::npos) return true;
  std::size_t at = source.find('@'), colon = source.find(':');
  return at != std::string_view::npos && colon != std::string_view::npos && at < colon;
}

Storage storageOf(int dirFd, const struct stat& st) {
  if (isNetworkFolder(dirFd, st.st_dev)) return Storage::kNetwork;
  if (st.st_size > 0 && st.st_blocks == 0) return Storage::kNotResident;
  return Storage::kLocal;
}

bool mayHang(unsigned long type) {
  switch (type) {
    case kNfsMagic: case kSmbMagic: case kCifsMagic: case kSmb2Magic: case kAfsMagic: case kAfsFsMagic:
    case kCephMagic: case kCodaMagic: case kNcpMagic: case kFuseMagic: case kV9fsMagic: case kLustreMagic:
    case kGfs2Magic: case kOcfs2Magic: case kOrangefsMagic:
      return true;
    default:
      return false;
  }
}

bool mayHang(std::string_view type) {
  static constexpr std::string_view kTypes[] = {"nfs", "nfs4", "cifs", "smb3", "smbfs", "9p", "afs", "ceph",
                                                "coda", "ncpfs", "fuse", "fuseblk", "virtiofs", "lustre",
                                                "gfs2", "ocfs2", "pvfs2", "orangefs"};
  if (type.starts_with("fuse.") || type.starts_with("fuseblk.")) return true;
  for (std::string_view t : kTypes)
    if (t == type) return true;
  return false;
}

bool HangRisk::covers(const std::vector<std::string>& parts, std::size_t count) const {
  if (root) return true;
  for (const std::vector<std::string>& m : mounts)
    if (m.size() <= count && std::equal(m.begin(), m.end(), parts.begin())) return true;
  return false;
}

HangRisk hangRiskOf(unsigned long rootType, const std::string& rootPath, std::string_view mountinfo) {
  HangRisk risk;
  risk.root = mayHang(rootType);
  if (risk.root) return risk;
  const std::string prefix = rootPath.ends_with('/') ? rootPath : rootPath + "/";
  while (!mountinfo.empty()) {
    std::size_t end = mountinfo.find('\n');
    std::string_view line = mountinfo.substr(0, end);
    mountinfo.remove_prefix(end == mountinfo.npos ? mountinfo.size() : end + 1);
    // "36 35 98:0 /root /mnt/point opts [optional fields] - fstype source superopts"
    std::size_t at = 0;
    for (int field = 0; field < 4 && at != line.npos; ++field) at = line.find(' ', at + 1);
    std::size_t dash = line.find(" - ");
    if (at == line.npos || dash == line.npos) continue;
    std::size_t pointEnd = line.find(' ', at + 1);
    std::string point = unescapeMountPath(line.substr(at + 1, pointEnd - at - 1));
    std::string_view type = line.substr(dash + 3);
    type = type.substr(0, type.find(' '));
    if (!mayHang(type) || !point.starts_with(prefix) || point.size() == prefix.size()) continue;
    std::vector<std::string> parts;
    for (std::size_t from = prefix.size(); from <= point.size();) {
      std::size_t slash = std::min(point.find('/', from), point.size());
      if (slash > from) parts.push_back(point.substr(from, slash - from));
      from = slash + 1;
    }
    risk.mounts.push_back(std::move(parts));
  }
  return risk;
}

HangRisk hangRiskAt(int rootFd) {
  struct statfs fs {};
  if (rootFd < 0 || ::fstatfs(rootFd, &fs) != 0) return {};
  char path[4096];
  const std::string link = "/proc/self/fd/" + std::to_string(rootFd);
  ssize_t n = ::readlink(link.c_str(), path, sizeof path);
  if (n <= 0 || static_cast<std::size_t>(n) >= sizeof path) return HangRisk{mayHang(static_cast<unsigned long>(fs.f_type)), {}};
  std::string mountinfo;
  if (FILE* f = std::fopen("/proc/self/mountinfo", "re")) {
    char buf[65536];
    for (std::size_t got; (got = std::fread(buf, 1, sizeof buf, f)) > 0;) mountinfo.append(buf, got);
    std::fclose(f);
  }
  return hangRiskOf(static_cast<unsigned long>(fs.f_type), std::string(path, static_cast<std::size_t>(n)), mountinfo);
}

AuthorizationStatus folderAuthorizationAt(int rootFd) {
  struct stat st {};
  if (rootFd < 0 || ::fstat(rootFd, &st) != 0 || !S_ISDIR(st.st_mode)) return AuthorizationStatus::kNotDetermined;
  if (::faccessat(rootFd, "", R_OK | X_OK, AT_EACCESS | AT_EMPTY_PATH) != 0) return AuthorizationStatus::kDenied;
  struct statvfs vfs {};
  if (::fstatvfs(rootFd, &vfs) == 0 && (vfs.f_flag & ST_RDONLY) != 0) return AuthorizationStatus::kRestricted;
  if (::faccessat(rootFd, "", W_OK, AT_EACCESS | AT_EMPTY_PATH) != 0) return AuthorizationStatus::kRestricted;
  return AuthorizationStatus::kAuthorized;
}

AuthorizationStatus folderAuthorization(const std::string& root) {
  if (root.empty()) return AuthorizationStatus::kNotDetermined;
  int fd = ::open(root.c_str(), O_PATH | O_CLOEXEC);
  AuthorizationStatus status = folderAuthorizationAt(fd);
  if (fd >= 0) ::close(fd);
  return status;
}

RootAccess judgeRootAccess(const std::string& root, std::chrono::milliseconds bound) {
  // Shared with the thread, so that a thread still blocked when the wait
  // gives up has a live cell to answer into (and closes its descriptor).
  struct Cell {
    std::mutex mu;
    std::condition_variable answered;
    bool done = false, abandoned = false;
    RootAccess access;
  };
  auto cell = std::make_shared<Cell>();
  std::thread judge([cell, root] {
    RootAccess a;
    if (!root.empty()) a.fd = ::open(root.c_str(), O_PATH | O_CLOEXEC);
    a.status = folderAuthorizationAt(a.fd);
    if (a.status == AuthorizationStatus::kAuthorized) a.risk = hangRiskAt(a.fd);
    std::lock_guard<std::mutex> g(cell->mu);
    if (cell->abandoned) {
      if (a.fd >= 0) ::close(a.fd);
      return;
    }
    cell->access = a;
    cell->done = true;
    cell->answered.notify_all();
  });
  std::unique_lock<std::mutex> g(cell->mu);
  if (!cell->answered.wait_for(g, bound, [&] { return cell->done; })) {
    cell->abandoned = true;
    judge.detach();
    return {};
  }
  // It has answered and has nothing left to do but end: joined, so that a
  // caller that locks the process down next (Landlock binds only the
  // threads started after it) has no thread left running from before.
  RootAccess access = cell->access;
  g.unlock();
  judge.join();
  return access;
}

}  // namespace photolibrary::folder
