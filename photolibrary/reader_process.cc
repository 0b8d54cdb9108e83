#include "photolibrary/reader_process.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <set>
#include <thread>

namespace photolibrary::reader {
namespace {

constexpr std::size_t kHeaderBytes = 9;
// A request is a few identifiers at most; anything larger is a broken
// channel, not a request.
constexpr std::uint64_t kMaxRequest = std::uint64_t{64} << 20;

bool writeAll(int fd, const iovec* parts, int count) {
  std::array<iovec, 2> v{};
  std::copy(parts, parts + count, v.begin());
  iovec* at = v.data();
  while (count > 0) {
    // writev and read rather than sendmsg and recv: the lock-down allows
    // the calls on descriptors already held, and no socket calls at all.
    // A write to a helper that has gone raises SIGPIPE, which the program
    // ignores (and the helper too).
    ssize_t n = ::writev(fd, at, count);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    auto left = static_cast<std::size_t>(n);
    while (count > 0 && left >= at->iov_len) {
      left -= at->iov_len;
      ++at;
      --count;
    }
    if (count > 0) {
      at->iov_base = static_cast<char*>(at->iov_base) + left;
      at->iov_len -= left;
    }
  }
  return true;
}

bool writeFrame(int fd, FrameKind kind, const void* payload, std::size_t n) {
  std::uint8_t header[kHeaderBytes];
  header[0] = kind;
  for (int k = 0; k < 8; ++k) header[1 + k] = static_cast<std::uint8_t>(static_cast<std::uint64_t>(n) >> (8 * k));
  iovec parts[2] = {{header, sizeof header}, {const_cast<void*>(payload), n}};
  return writeAll(fd, parts, n > 0 ? 2 : 1);
}

bool readAll(int fd, void* into, std::size_t n) {
  auto* p = static_cast<char*>(into);
  while (n > 0) {
    ssize_t got = ::read(fd, p, n);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    p += got;
    n -= static_cast<std::size_t>(got);
  }
  return true;
}

bool readHeader(int fd, FrameKind& kind, std::uint64_t& length) {
  std::uint8_t header[kHeaderBytes];
  if (!readAll(fd, header, sizeof header)) return false;
  kind = static_cast<FrameKind>(header[0]);
  length = 0;
  for (int k = 0; k < 8; ++k) length |= static_cast<std::uint64_t>(header[1 + k]) << (8 * k);
  return true;
}

// The helper's loop on one channel, until the channel closes. The program
// gone ends the whole helper (nothing is left for it to do); a channel the
// program dropped (an answer it could not take) ends only this loop.
void serveChannel(int fd, pid_t parent, const Serve& serve) {
  for (std::string request;;) {
    FrameKind kind;
    std::uint64_t length;
    if (!readHeader(fd, kind, length) || length > kMaxRequest) break;
    request.resize(length);
    if (!readAll(fd, request.data(), request.size())) break;
    Replier reply(fd);
    serve(request, reply);
  }
  if (::getppid() != parent) ::_exit(0);
  ::close(fd);
}

// Closes every inherited pipe and socket but `keep`: a host's output pipe
// held open here would keep the host waiting for our end of output after
// the program itself has ended.
void closeInheritedPipes(const std::set<int>& keep) {
  DIR* dir = ::opendir("/proc/self/fd");
  if (dir == nullptr) return;
  std::vector<int> close;
  while (dirent* e = ::readdir(dir)) {
    char* end = nullptr;
    long fd = std::strtol(e->d_name, &end, 10);
    if (end == e->d_name || *end != '\0' || fd <= STDERR_FILENO || fd == ::dirfd(dir) || keep.count(static_cast<int>(fd)))
      continue;
    struct stat st {};
    if (::fstat(static_cast<int>(fd), &st) == 0 && (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode)))
      close.push_back(static_cast<int>(fd));
  }
  ::closedir(dir);
  for (int fd : close) ::close(fd);
}

[[noreturn]] void helperMain(pid_t parent, const std::vector<int>& ends, const Setup& setup) {
  // Ends with the program: the signal comes when the thread that forked us
  // (the program's main thread, which lives until the process ends) ends.
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (::getppid() != parent) ::_exit(0);
  ::prctl(PR_SET_NAME, "reader");
  ::signal(SIGPIPE, SIG_IGN);  // a write to the program gone fails, and the helper ends
  int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (null >= 0) ::dup2(null, fd);
    else ::close(fd);
  }
  if (null > STDERR_FILENO) ::close(null);
  closeInheritedPipes(std::set<int>(ends.begin(), ends.end()));
  if (setup.lockDown) setup.lockDown();
  if (setup.prepare) setup.prepare();
  for (std::size_t k = 1; k < ends.size(); ++k)
    std::thread([fd = ends[k], parent, &setup] { serveChannel(fd, parent, setup.serve); }).detach();
  serveChannel(ends[0], parent, setup.serve);
  // Until the program ends (the parent-death signal) or its next channel
  // finds it gone.
  for (;;) ::sleep(3600);
}

}  // namespace

bool Replier::frame(FrameKind kind, std::span<const std::uint8_t> payload) {
  return writeFrame(fd_, kind, payload.data(), payload.size());
}

Exchange::Exchange(Exchange&& o) noexcept
    : owner_(std::move(o.owner_)), fd_(std::exchange(o.fd_, -1)), clean_(o.clean_), pendingEnd_(o.pendingEnd_) {}

Exchange::~Exchange() {
  if (fd_ >= 0 && owner_) owner_->giveBack(fd_, clean_);
}

bool Exchange::send(std::string_view request) {
  if (fd_ < 0) return false;
  clean_ = false;
  return writeFrame(fd_, kEnd, request.data(), request.size());
}

bool Exchange::next(FrameKind& kind, std::uint64_t& length) {
  if (fd_ < 0 || !readHeader(fd_, kind, length)) return false;
  // Clean once the answer's last frame has been read to its end; a caller
  // that stops before leaves the channel to be dropped.
  clean_ = kind == kEnd && length == 0;
  pendingEnd_ = kind == kEnd ? length : 0;
  return true;
}

bool Exchange::read(void* into, std::size_t n) {
  if (fd_ < 0 || !readAll(fd_, into, n)) return false;
  if (pendingEnd_ > 0) {
    pendingEnd_ -= std::min<std::uint64_t>(pendingEnd_, n);
    clean_ = pendingEnd_ == 0;
  }
  return true;
}

bool Exchange::readString(std::uint64_t length, std::string& into) {
  if (length > kMaxRequest) return false;
  into.resize(length);
  return length == 0 || read(into.data(), into.size());
}

std::shared_ptr<Process> Process::start(Setup setup) {
  const int n = std::max(1, setup.channels);
  std::vector<int> mine, theirs;
  auto closeAll = [&] {
    for (int fd : mine) ::close(fd);
    for (int fd : theirs) ::close(fd);
  };
  for (int k = 0; k < n; ++k) {
    int sv[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) {
      closeAll();
      return nullptr;
    }
    mine.push_back(sv[0]);
    theirs.push_back(sv[1]);
  }
  const pid_t parent = ::getpid();
  const pid_t pid = ::fork();
  if (pid < 0) {
    closeAll();
    return nullptr;
  }
  if (pid == 0) {
    for (int fd : mine) ::close(fd);
    helperMain(parent, theirs, setup);
  }
  for (int fd : theirs) ::close(fd);
  std::shared_ptr<Process> p(new Process);
  p->pid_ = pid;
  p->free_ = std::move(mine);
  p->live_ = n;
  return p;
}

Process::~Process() {
  // Only the free channels are left (an exchange holds its owner).
  for (int fd : free_) ::close(fd);
  ::kill(pid_, SIGKILL);
  // Not past a second: a helper blocked in a hung read ends only when the
  // read returns.
  for (int k = 0; k < 100 && ::waitpid(pid_, nullptr, WNOHANG) == 0; ++k)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

Exchange Process::lease() {
  std::unique_lock<std::mutex> g(mu_);
  freed_.wait(g, [&] { return !free_.empty() || live_ == 0; });
  if (free_.empty()) return Exchange(shared_from_this(), -1);
  int fd = free_.back();
  free_.pop_back();
  return Exchange(shared_from_this(), fd);
}

std::optional<Exchange> Process::tryLease() {
  std::lock_guard<std::mutex> g(mu_);
  if (free_.empty()) return std::nullopt;
  int fd = free_.back();
  free_.pop_back();
  return Exchange(shared_from_this(), fd);
}

void Process::giveBack(int fd, bool reusable) {
  {
    std::lock_guard<std::mutex> g(mu_);
    if (reusable) {
      free_.push_back(fd);
    } else {
      ::close(fd);
      --live_;
    }
  }
  freed_.notify_all();
}

std::optional<std::string> Process::ask(std::string_view request) {
  Exchange x = lease();
  FrameKind kind;
  std::uint64_t length;
  std::string answer;
  if (!x.send(request) || !x.next(kind, length) || kind != kEnd || !x.readString(length, answer)) return std::nullopt;
  return answer;
}

}  // namespace photolibrary::reader
