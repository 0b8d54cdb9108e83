// Each program's lock-down, applied in a child process that then tries what
// an attacker who took over a decoder would. Every attempt must fail; the
// layers that were in force are printed.
#include "lockdown/lockdown.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "testsupport/images.h"

namespace lockdown {
namespace {

using testsupport::TempDir;

struct Attempt {
  std::string what;
  std::function<bool()> succeeds;
};

bool opens(const std::string& path, int flags) {
  int fd = ::open(path.c_str(), flags | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  ::close(fd);
  return true;
}

// openat2, whose flags a system call filter cannot see.
bool opens2(const std::string& path, std::uint64_t flags) {
  open_how how{};
  how.flags = flags | O_CLOEXEC;
  how.mode = flags & O_CREAT ? 0644 : 0;
  long fd = ::syscall(SYS_openat2, AT_FDCWD, path.c_str(), &how, sizeof how);
  if (fd < 0) return false;
  ::close(static_cast<int>(fd));
  return true;
}

bool readsSome(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char c;
  bool ok = ::read(fd, &c, 1) == 1;
  ::close(fd);
  return ok;
}

// A listening TCP socket on 127.0.0.1, so that a connect would succeed if it
// were allowed.
class Listener {
 public:
  Listener() {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), len);
    ::listen(fd_, 1);
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
  }
  ~Listener() { ::close(fd_); }
  int port() const { return port_; }

 private:
  int fd_ = -1;
  int port_ = 0;
};

bool connectsTo(int port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  ::close(fd);
  return ok;
}

bool startsShell() {
  char* const argv[] = {const_cast<char*>("/bin/sh"), const_cast<char*>("-c"), const_cast<char*>("exit 0"), nullptr};
  ::execve("/bin/sh", argv, environ);
  return false;  // only reached when refused; a shell that started never answers
}

bool forks() {
  pid_t pid = ::fork();
  if (pid == 0) _exit(0);
  if (pid < 0) return false;
  ::waitpid(pid, nullptr, 0);
  return true;
}

struct ChildReport {
  LockdownLayers layers;
  std::vector<char> outcomes;  // '1' the attempt succeeded, '0' it failed
};

// Locks down a child process with `policy` and runs the attempts there.
ChildReport runLockedDown(const LockdownPolicy& policy, const std::vector<Attempt>& attempts) {
  int fds[2];
  EXPECT_EQ(::pipe2(fds, O_CLOEXEC), 0);
  std::fflush(nullptr);
  pid_t pid = ::fork();
  if (pid == 0) {
    ::close(fds[0]);
    LockdownLayers layers = lockDown(policy);
    (void)!::write(fds[1], &layers, sizeof layers);
    for (const Attempt& a : attempts) {
      char c = a.succeeds() ? '1' : '0';
      (void)!::write(fds[1], &c, 1);
    }
    _exit(0);
  }
  ::close(fds[1]);
  ChildReport report;
  EXPECT_EQ(::read(fds[0], &report.layers, sizeof report.layers), static_cast<ssize_t>(sizeof report.layers));
  char c;
  while (::read(fds[0], &c, 1) == 1) report.outcomes.push_back(c);
  ::close(fds[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the locked-down child did not end normally";
  std::printf("lock-down layers in force: %s\n", describe(report.layers).c_str());
  return report;
}

// The attacker's list against a library folder (with a photo in it) and a
// private file outside every readable folder.
class LockdownTest : public ::testing::Test {
 protected:
  LockdownTest() {
    library = dir.path() + "/library";
    secret = dir.path() + "/home/.ssh/id_ed25519";
    photo = library + "/photo.jpg";
    EXPECT_TRUE(std::filesystem::create_directories(library));
    EXPECT_TRUE(std::filesystem::create_directories(dir.path() + "/home/.ssh"));
    EXPECT_TRUE(testsupport::writeBytes(photo, std::string("\xff\xd8\xff photo")));
    EXPECT_TRUE(testsupport::writeBytes(secret, std::string("private key")));
  }

  // Writing, removing, running a program, starting a process, networking:
  // refused whatever the policy.
  std::vector<Attempt> harmful() {
    return {
        {"create a file in the library", [this] { return opens(library + "/new.txt", O_WRONLY | O_CREAT); }},
        {"create a file in /tmp", [this] { return opens(dir.path() + "/new.txt", O_WRONLY | O_CREAT); }},
        {"overwrite a photo", [this] { return opens(photo, O_WRONLY | O_TRUNC); }},
        {"create a file with openat2", [this] { return opens2(library + "/new.txt", O_WRONLY | O_CREAT); }},
        {"truncate a photo with openat2", [this] { return opens2(photo, O_RDONLY | O_TRUNC); }},
        {"unlink a photo", [this] { return ::unlink(photo.c_str()) == 0; }},
        {"rename a photo", [this] { return ::rename(photo.c_str(), (library + "/moved.jpg").c_str()) == 0; }},
        {"make a folder", [this] { return ::mkdir((library + "/sub").c_str(), 0755) == 0; }},
        {"chmod a photo", [this] { return ::chmod(photo.c_str(), 0777) == 0; }},
        {"connect to 127.0.0.1", [this] { return connectsTo(listener.port()); }},
        {"fork a process", [] { return forks(); }},
        {"execve /bin/sh", [] { return startsShell(); }},
    };
  }

  // Runs `harmful()` plus `extra` locked down; every harmful attempt must
  // fail, and each of `extra` must match its expectation.
  void expectLockedDown(const LockdownPolicy& policy, const std::vector<std::pair<Attempt, bool>>& extra) {
    std::vector<Attempt> attempts = harmful();
    for (const auto& [attempt, expected] : extra) attempts.push_back(attempt);
    ChildReport report = runLockedDown(policy, attempts);
    ASSERT_EQ(report.outcomes.size(), attempts.size()) << "the child stopped early (a shell started?)";
    EXPECT_TRUE(report.layers.seccomp);
    EXPECT_TRUE(report.layers.noNewPrivs);
    const std::size_t n = harmful().size();
    for (std::size_t k = 0; k < attempts.size(); ++k) {
      bool expected = k < n ? false : extra[k - n].second;
      // Reading is confined by Landlock alone; without it, reads are allowed.
      if (k >= n && !expected && report.layers.landlockAbi == 0) expected = true;
      EXPECT_EQ(report.outcomes[k] == '1', expected) << attempts[k].what;
    }
    EXPECT_TRUE(std::filesystem::exists(photo));
    EXPECT_FALSE(std::filesystem::exists(library + "/new.txt"));
  }

  TempDir dir;
  Listener listener;
  std::string library, secret, photo;
};

TEST_F(LockdownTest, AlbumsweepReadsItsLibraryAndNothingElse) {
  expectLockedDown(albumsweepPolicy(library, false),
                   {{{"read a photo", [this] { return readsSome(photo); }}, true},
                    {{"read the mount table", [] { return readsSome("/proc/self/mountinfo"); }}, true},
                    {{"read /etc/passwd", [] { return readsSome("/etc/passwd"); }}, false},
                    {{"read ~/.ssh", [this] { return readsSome(secret); }}, false}});
}

TEST_F(LockdownTest, TwinspotAndVerifyingFilesReadAnywhere) {
  for (const LockdownPolicy& policy : {twinspotPolicy(), albumsweepPolicy(library, true)})
    expectLockedDown(policy, {{{"read a photo", [this] { return readsSome(photo); }}, true},
                              {{"read /etc/passwd", [] { return readsSome("/etc/passwd"); }}, true}});
}

// openat2 reads where Landlock refuses every write and truncation (ABI 3
// on), so the folder library resolves a path in one call; elsewhere the
// filter answers ENOSYS and the library opens component by component.
TEST_F(LockdownTest, Openat2ReadsOnlyWhereLandlockForbidsWriting) {
  for (bool landlock : {true, false}) {
    LockdownPolicy policy = albumsweepPolicy(library, false);
    policy.landlock = landlock;
    ChildReport report = runLockedDown(policy, {{"openat2 a photo", [this] { return opens2(photo, O_RDONLY); }}});
    ASSERT_EQ(report.outcomes.size(), 1u);
    EXPECT_EQ(report.outcomes[0] == '1', report.layers.landlockAbi >= 3) << describe(report.layers);
  }
}

// What a kernel without Landlock still refuses: every harmful attempt.
TEST_F(LockdownTest, SeccompAloneRefusesEveryHarmfulCall) {
  LockdownPolicy policy = albumsweepPolicy(library, false);
  policy.landlock = false;
  expectLockedDown(policy, {{{"read a photo", [this] { return readsSome(photo); }}, true}});
}

TEST_F(LockdownTest, ThermwatchReadsSysAndNothingElse) {
  expectLockedDown(thermwatchPolicy(),
                   {{{"read /sys", [] { return readsSome("/sys/devices/system/cpu/online"); }}, true},
                    {{"read a photo", [this] { return readsSome(photo); }}, false},
                    {{"read ~/.ssh", [this] { return readsSome(secret); }}, false}});
}

// Threads keep working, and the second call changes nothing.
TEST(Lockdown, ThreadsRunAndOnlyTheFirstCallApplies) {
  pid_t pid = ::fork();
  if (pid == 0) {
    LockdownLayers first = lockDown(twinspotPolicy());
    LockdownLayers again = lockDown(thermwatchPolicy());
    bool ran = false;
    std::thread([&] { ran = true; }).join();
    _exit(ran && again.seccomp == first.seccomp && again.landlockAbi == first.landlockAbi && readsSome("/etc/passwd")
              ? 0
              : 1);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

}  // namespace
}  // namespace lockdown
