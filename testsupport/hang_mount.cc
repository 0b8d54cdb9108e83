#include "testsupport/hang_mount.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/statfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

namespace testsupport {
namespace {

constexpr long kFuseMagic = 0x65735546;

bool onPath(const std::string& program) {
  const char* path = std::getenv("PATH");
  std::stringstream dirs(path ? path : "/usr/bin:/bin");
  for (std::string dir; std::getline(dirs, dir, ':');)
    if (::access((dir + "/" + program).c_str(), X_OK) == 0) return true;
  return false;
}

bool exited(pid_t pid, std::chrono::milliseconds within) {
  auto until = std::chrono::steady_clock::now() + within;
  do {
    if (::waitpid(pid, nullptr, WNOHANG) == pid) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  } while (std::chrono::steady_clock::now() < until);
  return false;
}

}  // namespace

HangMount::HangMount(const std::string& backing) {
  if (::access("/dev/fuse", R_OK | W_OK) != 0) {
    why_ = "no usable /dev/fuse: FUSE mounts are not possible here";
    return;
  }
  if (::geteuid() != 0 && !onPath("fusermount3")) {
    why_ = "not root and no fusermount3 on PATH (Debian package fuse3): cannot mount";
    return;
  }
  const std::string log = control_.path() + "/log";
  pid_t pid = ::fork();
  if (pid == 0) {
    int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd >= 0) {
      ::dup2(fd, STDOUT_FILENO);
      ::dup2(fd, STDERR_FILENO);
    }
    ::execl(HANGFS_BIN, HANGFS_BIN, backing.c_str(), mount_.path().c_str(), control_.path().c_str(),
            static_cast<char*>(nullptr));
    ::_exit(127);
  }
  if (pid < 0) {
    why_ = "cannot start hangfs";
    return;
  }
  auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < until) {
    struct statfs fs {};
    if (::statfs(mount_.path().c_str(), &fs) == 0 && fs.f_type == kFuseMagic) {
      pid_ = pid;
      return;
    }
    if (::waitpid(pid, nullptr, WNOHANG) == pid) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  std::ifstream in(log);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  why_ = "hangfs could not mount: " + text;
  ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
}

HangMount::~HangMount() {
  if (pid_ <= 0) return;
  stopAll();
  ::kill(pid_, SIGTERM);  // hangfs unmounts and ends
  if (exited(pid_, std::chrono::seconds(5))) return;
  if (::umount2(mountPoint().c_str(), MNT_DETACH) != 0 && onPath("fusermount3")) {
    std::string command = "fusermount3 -uz '" + mountPoint() + "'";
    if (std::system(command.c_str()) != 0) {
      // Nothing more to try: the test run reports the leftover mount.
    }
  }
  ::kill(pid_, SIGKILL);
  ::waitpid(pid_, nullptr, 0);
}

std::string HangMount::controlFile(Misbehaviour what) const {
  switch (what) {
    case Misbehaviour::kHangLookup: return control_.path() + "/lookup";
    case Misbehaviour::kHangRead: return control_.path() + "/read";
    case Misbehaviour::kSlowRead: return control_.path() + "/slow";
    case Misbehaviour::kFailRead: return control_.path() + "/eio";
    case Misbehaviour::kHangRename: return control_.path() + "/rename";
  }
  return {};
}

// The file is replaced by a rename, so hangfs never reads half of it.
void HangMount::setLines(const std::string& file, const std::string& line, bool present) {
  std::vector<std::string> lines;
  {
    std::ifstream in(file);
    for (std::string l; std::getline(in, l);)
      if (l != line) lines.push_back(l);
  }
  if (present) lines.push_back(line);
  const std::string temp = file + ".new";
  {
    std::ofstream out(temp, std::ios::trunc);
    for (const std::string& l : lines) out << l << '\n';
  }
  std::rename(temp.c_str(), file.c_str());
}

void HangMount::start(Misbehaviour what, const std::string& path) { setLines(controlFile(what), path, true); }
void HangMount::stop(Misbehaviour what, const std::string& path) { setLines(controlFile(what), path, false); }

void HangMount::slowDown(const std::string& path, int msPerRead) {
  setLines(controlFile(Misbehaviour::kSlowRead), std::to_string(msPerRead) + " " + path, true);
}

void HangMount::stopAll() {
  for (Misbehaviour m : {Misbehaviour::kHangLookup, Misbehaviour::kHangRead, Misbehaviour::kSlowRead,
                         Misbehaviour::kFailRead, Misbehaviour::kHangRename})
    std::remove(controlFile(m).c_str());
}

}  // namespace testsupport
