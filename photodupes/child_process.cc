#include "photodupes/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <thread>

namespace photodupes {

namespace {

// Reaps the child if it ends within `limit`; false when it has not.
bool reapWithin(pid_t pid, int& status, std::chrono::milliseconds limit) {
  const auto until = std::chrono::steady_clock::now() + limit;
  for (;;) {
    pid_t got = waitpid(pid, &status, WNOHANG);
    if (got == pid) return true;
    if (got < 0 && errno != EINTR) return true;  // nothing left to wait for
    if (std::chrono::steady_clock::now() >= until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

}  // namespace

ChildResult runChild(const std::vector<std::string>& argv, std::string_view input,
                     const std::function<bool(std::string_view line)>& onLine) {
  ChildResult result;
  int in[2], out[2], report[2];
  if (pipe2(in, O_CLOEXEC) != 0) return {std::strerror(errno)};
  if (pipe2(out, O_CLOEXEC) != 0) {
    close(in[0]), close(in[1]);
    return {std::strerror(errno)};
  }
  if (pipe2(report, O_CLOEXEC) != 0) {
    close(in[0]), close(in[1]), close(out[0]), close(out[1]);
    return {std::strerror(errno)};
  }
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);

  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid == 0) {
    // Child: only async-signal-safe calls from here to exec.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(127);  // the parent is already gone
    signal(SIGPIPE, SIG_DFL);
    dup2(in[0], STDIN_FILENO);
    dup2(out[1], STDOUT_FILENO);
    execv(args[0], args.data());
    int err = errno;
    (void)!write(report[1], &err, sizeof err);
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  close(report[1]);
  if (pid < 0) {
    int err = errno;
    close(in[1]), close(out[0]), close(report[0]);
    return {std::strerror(err)};
  }
  int execErr = 0;
  ssize_t got;
  while ((got = read(report[0], &execErr, sizeof execErr)) < 0 && errno == EINTR) {
  }
  close(report[0]);
  if (got == static_cast<ssize_t>(sizeof execErr)) {
    close(in[1]), close(out[0]);
    waitpid(pid, nullptr, 0);
    result.startError = std::strerror(execErr);
    return result;
  }

  fcntl(in[1], F_SETFL, O_NONBLOCK);
  int inFd = in[1];
  if (input.empty()) close(inFd), inFd = -1;
  std::size_t written = 0;
  std::string pending;
  bool reading = true;
  char buf[65536];
  while (reading) {
    // After an interrupt, only what the child has written already is read.
    const bool interrupted = interruptSignal() != 0;
    pollfd fds[2] = {{out[0], POLLIN, 0}, {inFd, POLLOUT, 0}};
    const int ready = poll(fds, inFd >= 0 && !interrupted ? 2 : 1, interrupted ? 0 : -1);
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) break;
    if (interrupted && (ready == 0 || !(fds[0].revents & POLLIN))) {
      result.stoppedByUs = result.interrupted = true;
      break;
    }
    if (inFd >= 0 && (fds[1].revents & (POLLOUT | POLLERR | POLLHUP))) {
      ssize_t n = write(inFd, input.data() + written, input.size() - written);
      if (n > 0) written += static_cast<std::size_t>(n);
      if ((n < 0 && errno != EAGAIN && errno != EINTR) || written == input.size()) close(inFd), inFd = -1;
    }
    if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
      ssize_t n = read(out[0], buf, sizeof buf);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      pending.append(buf, static_cast<std::size_t>(n));
      std::size_t start = 0, nl;
      while ((nl = pending.find('\n', start)) != std::string::npos) {
        if (!onLine(std::string_view(pending).substr(start, nl - start))) {
          reading = false;
          result.stoppedByUs = true;
          break;
        }
        start = nl + 1;
      }
      pending.erase(0, start);
    }
  }
  if (result.stoppedByUs) kill(pid, SIGKILL);
  if (inFd >= 0) close(inFd);
  close(out[0]);
  // The output has ended: the child's exit status comes within moments, or
  // the child is stuck (a read of a file that hangs) and is left behind.
  int status = 0;
  const bool ended = reapWithin(pid, status, kExitWait);
  if (!ended) {
    kill(pid, SIGKILL);
    result.abandoned = true;
  }
  if (ended && WIFEXITED(status)) result.exitStatus = WEXITSTATUS(status);
  if (ended && WIFSIGNALED(status)) result.signal = WTERMSIG(status);
  // A last piece without a line feed counts only from a child that ended
  // well: from one that died, it is a line torn off.
  if (!result.stoppedByUs && !pending.empty()) {
    if (ended && WIFEXITED(status) && WEXITSTATUS(status) == 0) {
      if (!onLine(pending)) result.stoppedByUs = true;
    } else {
      result.tornLine = true;
    }
  }
  return result;
}

namespace {
std::atomic<int> gInterrupt{0};
extern "C" void noteInterrupt(int sig) { gInterrupt.store(sig); }
}  // namespace

int interruptSignal() { return gInterrupt.load(); }

void catchInterrupts() {
  struct sigaction sa {};
  sa.sa_handler = noteInterrupt;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = 0;  // no SA_RESTART: a wait in poll() returns at once
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
}

JsonChildResult runJsonChild(const std::vector<std::string>& argv, std::string_view input, const std::string& what,
                             const std::function<bool(nlohmann::json& record)>& onRecord) {
  JsonChildResult r;
  r.child = runChild(argv, input, [&](std::string_view line) {
    nlohmann::json j = nlohmann::json::parse(line, nullptr, false);
    if (j.is_discarded() || !j.is_object()) {
      r.problem = what + " wrote a line that is not JSON: \"" + std::string(line.substr(0, 60)) + "\"";
      return false;
    }
    return onRecord(j);
  });
  if (r.problem.empty()) r.problem = describeFailure(r.child, what + " (" + argv[0] + ")");
  return r;
}

std::string describeFailure(const ChildResult& r, const std::string& what) {
  if (!r.startError.empty()) return "cannot start " + what + ": " + r.startError;
  if (r.stoppedByUs) return "";
  if (r.abandoned) return what + " ended its output but did not exit";
  if (r.signal) return what + " crashed (" + strsignal(r.signal) + ")";
  if (r.exitStatus != 0) return what + " failed with exit status " + std::to_string(r.exitStatus);
  if (r.tornLine) return what + " ended in the middle of a line";
  return "";
}

void ForkedSteps::record(std::string_view text) {
  pending_ += 'r';
  pending_.append(text);
  pending_ += '\0';
}

void ForkedSteps::step(std::string_view what) {
  pending_ += 's';
  pending_.append(what);
  pending_ += '\0';
  if (!send()) _exit(1);  // the parent gave up on us
}

bool ForkedSteps::finish() {
  pending_ += "e";
  pending_ += '\0';
  return send();
}

bool ForkedSteps::send() {
  std::size_t done = 0;
  while (done < pending_.size()) {
    const ssize_t n = write(fd_, pending_.data() + done, pending_.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  pending_.clear();
  return true;
}

ForkedResult runForked(const std::function<void(ForkedSteps&)>& work, ForkedBounds bounds) {
  ForkedResult result;
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) {
    result.startError = std::strerror(errno);
    return result;
  }
  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(127);
    signal(SIGPIPE, SIG_DFL);
    signal(SIGINT, SIG_IGN);  // the parent decides; an interrupt must not end the child half-way
    signal(SIGTERM, SIG_DFL);
    // It keeps only the pipe: a child left blocked must hold nothing of
    // photodupes open, neither its standard output or error (a pipe to a
    // log) nor the catalog and its lock (the next run could not open it).
    constexpr int kPipe = 3;
    if (out[1] != kPipe && dup2(out[1], kPipe) != kPipe) _exit(1);
    close_range(kPipe + 1, ~0U, 0);
    const int null = open("/dev/null", O_RDWR | O_CLOEXEC);
    if (null >= 0) dup2(null, STDIN_FILENO), dup2(null, STDOUT_FILENO), dup2(null, STDERR_FILENO);
    if (null > STDERR_FILENO) close(null);
    ForkedSteps steps(kPipe);
    try {
      work(steps);
    } catch (...) {
      _exit(1);
    }
    _exit(steps.finish() ? 0 : 1);
  }
  close(out[1]);
  if (pid < 0) {
    result.startError = std::strerror(errno);
    close(out[0]);
    return result;
  }
  using Clock = std::chrono::steady_clock;
  const auto started = Clock::now();
  auto lastWord = started;
  std::string buf, lastStep;
  char chunk[65536];
  for (;;) {
    const auto now = Clock::now();
    auto until = lastWord + bounds.quiet;
    if (now >= until) {
      result.silent = true;
      break;
    }
    if (bounds.total.count() > 0) {
      if (now >= started + bounds.total) {
        result.overTime = true;
        break;
      }
      until = std::min(until, started + bounds.total);
    }
    if (interruptSignal() != 0) {
      result.interrupted = true;
      break;
    }
    const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(until - now).count() + 1;
    pollfd fd{out[0], POLLIN, 0};
    const int ready = poll(&fd, 1, static_cast<int>(std::min<long long>(wait, 1000)));
    if (ready < 0 && errno != EINTR) break;
    if (ready <= 0) continue;
    const ssize_t n = read(out[0], chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;  // the child ended
    lastWord = Clock::now();
    buf.append(chunk, static_cast<std::size_t>(n));
    std::size_t start = 0, end;
    while ((end = buf.find('\0', start)) != std::string::npos) {
      const std::string_view item(buf.data() + start + 1, end - start - 1);
      if (buf[start] == 'r') result.records.emplace_back(item);
      if (buf[start] == 's') lastStep = item;
      if (buf[start] == 'e') result.finished = true;
      start = end + 1;
    }
    buf.erase(0, start);
  }
  close(out[0]);
  int status = 0;
  if (result.finished) {
    if (!reapWithin(pid, status, kExitWait)) kill(pid, SIGKILL);
  } else {
    // Abandoned, or ended without finishing: killed, and reaped only if it
    // goes at once (a child blocked in the kernel stays until that call
    // returns, and photodupes does not wait for it).
    kill(pid, SIGKILL);
    reapWithin(pid, status, std::chrono::milliseconds(50));
    result.stuckAt = lastStep;
  }
  return result;
}

std::string helperProgram(const char* envName, const std::string& name) {
  if (const char* env = std::getenv(envName); env && *env) return env;
  std::error_code ec;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) return name;
  const std::filesystem::path beside = self.parent_path() / name;
  if (std::filesystem::exists(beside, ec)) return beside.string();
  const std::filesystem::path buildTree = self.parent_path().parent_path() / name / name;
  if (std::filesystem::exists(buildTree, ec)) return buildTree.string();
  return beside.string();
}

}  // namespace photodupes
