#include "testsupport/subprocess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <gtest/gtest.h>

#include "testsupport/images.h"
#include "testsupport/open_watch.h"

extern char** environ;

namespace testsupport {

namespace {

void setNonBlocking(int fd) { fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK); }

}  // namespace

ProcessResult runProcess(const std::vector<std::string>& argv, const RunOptions& options) {
  ProcessResult result;
  int in[2], out[2], err[2];
  if (pipe2(in, O_CLOEXEC) || pipe2(out, O_CLOEXEC) || pipe2(err, O_CLOEXEC)) {
    ADD_FAILURE() << "pipe: " << std::strerror(errno);
    return result;
  }
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) env.emplace_back(*e);
  for (const auto& e : options.extraEnvironment) env.push_back(e);
  std::vector<char*> cargv, cenv;
  for (const auto& a : argv) cargv.push_back(const_cast<char*>(a.c_str()));
  cargv.push_back(nullptr);
  for (const auto& e : env) cenv.push_back(const_cast<char*>(e.c_str()));
  cenv.push_back(nullptr);

  auto start = std::chrono::steady_clock::now();
  int childOut = out[1];
  if (options.output == OutputTo::kDevFull) {
    childOut = open("/dev/full", O_WRONLY | O_CLOEXEC);
  } else if (options.output == OutputTo::kClosedPipe) {
    int closed[2];
    if (pipe2(closed, O_CLOEXEC) == 0) {
      close(closed[0]);
      childOut = closed[1];
    } else {
      childOut = -1;
    }
  }
  if (childOut < 0) {
    ADD_FAILURE() << "cannot make the child's standard output: " << std::strerror(errno);
    return result;
  }
  pid_t pid = fork();
  if (pid == 0) {
    signal(SIGPIPE, SIG_DFL);
    dup2(in[0], 0);
    dup2(childOut, 1);
    dup2(err[1], 2);
    if (!options.workingDirectory.empty() && chdir(options.workingDirectory.c_str()) != 0) _exit(126);
    execve(cargv[0], cargv.data(), cenv.data());
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  close(err[1]);
  if (childOut != out[1]) close(childOut);
  setNonBlocking(in[1]);
  setNonBlocking(out[0]);
  setNonBlocking(err[0]);
  signal(SIGPIPE, SIG_IGN);

  size_t written = 0;
  int inFd = in[1];
  if (options.stdinData.empty()) {
    close(inFd);
    inFd = -1;
  }
  bool outOpen = true, errOpen = true;
  char buf[65536];
  while (outOpen || errOpen) {
    auto now = std::chrono::steady_clock::now();
    auto left = options.timeout - std::chrono::duration_cast<std::chrono::milliseconds>(now - start);
    if (left.count() <= 0) {
      result.timedOut = true;
      kill(pid, SIGKILL);
      break;
    }
    pollfd fds[3];
    int n = 0;
    int outIdx = -1, errIdx = -1, inIdx = -1;
    if (outOpen) { outIdx = n; fds[n++] = {out[0], POLLIN, 0}; }
    if (errOpen) { errIdx = n; fds[n++] = {err[0], POLLIN, 0}; }
    if (inFd >= 0) { inIdx = n; fds[n++] = {inFd, POLLOUT, 0}; }
    int rc = poll(fds, n, static_cast<int>(std::min<long long>(left.count(), 1000)));
    if (rc < 0 && errno != EINTR) break;
    if (rc <= 0) continue;
    auto drain = [&](int idx, int fd, std::string& sink, bool& open) {
      if (idx < 0 || !(fds[idx].revents & (POLLIN | POLLHUP | POLLERR))) return;
      ssize_t got = read(fd, buf, sizeof buf);
      if (got > 0) sink.append(buf, static_cast<size_t>(got));
      else if (got == 0 || (errno != EAGAIN && errno != EINTR)) open = false;
    };
    const std::size_t before = result.out.size();
    drain(outIdx, out[0], result.out, outOpen);
    if (result.out.find('\n', before) != std::string::npos) {
      result.lastLineAt = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
      if (options.onLine) {
        std::size_t from = result.out.rfind('\n', before == 0 ? 0 : before - 1);
        from = (from == std::string::npos || before == 0) ? 0 : from + 1;
        for (std::size_t end; (end = result.out.find('\n', from)) != std::string::npos; from = end + 1)
          if (end >= before) options.onLine(result.out.substr(from, end - from));
      }
    }
    drain(errIdx, err[0], result.err, errOpen);
    if (inIdx >= 0 && (fds[inIdx].revents & (POLLOUT | POLLERR | POLLHUP))) {
      ssize_t put = write(inFd, options.stdinData.data() + written, options.stdinData.size() - written);
      if (put > 0) written += static_cast<size_t>(put);
      if (put < 0 && errno != EAGAIN && errno != EINTR) written = options.stdinData.size();
      if (written >= options.stdinData.size()) {
        close(inFd);
        inFd = -1;
      }
    }
  }
  if (inFd >= 0) close(inFd);
  close(out[0]);
  close(err[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  result.elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
  if (WIFEXITED(status)) result.exitStatus = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
  return result;
}

void expectUnwritableOutputEndsWithStatusOne(const std::vector<std::string>& argv, RunOptions options) {
  for (OutputTo to : {OutputTo::kDevFull, OutputTo::kClosedPipe}) {
    SCOPED_TRACE(to == OutputTo::kDevFull ? "/dev/full" : "closed pipe");
    options.output = to;
    ProcessResult r = runProcess(argv, options);
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(r.signal, 0);
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.err, "");
  }
}

void expectCreatesNoFile(const std::vector<std::string>& argv, RunOptions options) {
  TempDir runtime, home, tmp;
  constexpr std::uint32_t kCreated = IN_CREATE | IN_MOVED_TO;
  OpenWatch runtimeWatch(runtime.path(), kCreated), homeWatch(home.path(), kCreated), tmpWatch(tmp.path(), kCreated),
      sharedTmpWatch("/tmp", kCreated);
  ASSERT_TRUE(runtimeWatch.ready() && homeWatch.ready() && tmpWatch.ready() && sharedTmpWatch.ready());
  options.extraEnvironment.push_back("XDG_RUNTIME_DIR=" + runtime.path());
  options.extraEnvironment.push_back("HOME=" + home.path());
  options.extraEnvironment.push_back("TMPDIR=" + tmp.path());
  ProcessResult r = runProcess(argv, options);
  EXPECT_FALSE(r.timedOut);
  EXPECT_EQ(r.exitStatus, 0) << r.err;
  EXPECT_EQ(runtimeWatch.touched(), std::vector<std::string>{}) << "in $XDG_RUNTIME_DIR";
  EXPECT_EQ(homeWatch.touched(), std::vector<std::string>{}) << "in $HOME";
  EXPECT_EQ(tmpWatch.touched(), std::vector<std::string>{}) << "in $TMPDIR";
  for (const std::string& name : sharedTmpWatch.touched())
    EXPECT_NE(name.rfind("orcexec", 0), 0u) << "in /tmp: " << name;
}

std::vector<std::string> splitLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1)
    lines.push_back(text.substr(start, nl - start));
  if (start < text.size()) lines.push_back(text.substr(start));
  return lines;
}

std::vector<nlohmann::json> parseJsonLines(const std::string& text) {
  std::vector<nlohmann::json> records;
  if (!text.empty() && text.back() != '\n') ADD_FAILURE() << "output does not end with a line feed";
  for (const auto& line : splitLines(text)) {
    try {
      records.push_back(nlohmann::json::parse(line));
    } catch (const nlohmann::json::exception& e) {
      ADD_FAILURE() << "not a JSON line: " << line << " (" << e.what() << ")";
    }
  }
  return records;
}

std::string zeroJoined(const std::vector<std::string>& items) {
  std::string s;
  for (const auto& item : items) {
    s += item;
    s.push_back('\0');
  }
  return s;
}

}  // namespace testsupport
