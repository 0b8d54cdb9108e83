// End to end: each program, run under strace, locks itself down before it
// reads its first byte of standard input (thermwatch, which reads none,
// before it writes its document).
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "testsupport/images.h"
#include "testsupport/subprocess.h"

namespace {

using testsupport::TempDir;

struct Trace {
  std::size_t lockedDown = std::string::npos;  // line of the loaded seccomp filter
  std::size_t noNewPrivs = std::string::npos;
  std::size_t firstStdinRead = std::string::npos;
  std::size_t firstStdoutWrite = std::string::npos;
  std::size_t firstThread = std::string::npos;
  int threadsStartedBeforeLockdown = 0;
  int threadsEndedBeforeLockdown = 0;
};

// Runs `argv` under strace -f and finds the lock-down and the first use of
// standard input and output in the trace.
Trace traced(const std::vector<std::string>& argv, const std::string& input, const std::string& traceFile) {
  std::vector<std::string> command = {
      "/usr/bin/strace", "-f", "-qq", "-o", traceFile, "-e", "trace=prctl,seccomp,read,write,clone,clone3,exit"};
  command.insert(command.end(), argv.begin(), argv.end());
  testsupport::RunOptions options;
  options.stdinData = input;
  testsupport::ProcessResult run = testsupport::runProcess(command, options);
  EXPECT_EQ(run.exitStatus, 0) << run.err;
  Trace trace;
  std::ifstream in(traceFile);
  std::string line;
  std::vector<std::string> lines;
  for (std::size_t n = 0; std::getline(in, line); ++n) {
    lines.push_back(line);
    // The first line where `call` was made (and, if given, succeeded).
    auto first = [&](std::size_t& at, const char* call, bool succeeded) {
      if (at == std::string::npos && line.find(call) != std::string::npos && (!succeeded || line.ends_with(") = 0")))
        at = n;
    };
    first(trace.noNewPrivs, "prctl(PR_SET_NO_NEW_PRIVS, 1", true);
    first(trace.lockedDown, "seccomp(SECCOMP_SET_MODE_FILTER", true);
    first(trace.firstStdinRead, " read(0, ", false);
    first(trace.firstStdoutWrite, " write(1, ", false);
    first(trace.firstThread, "CLONE_THREAD", false);
  }
  for (std::size_t n = 0; n < lines.size() && n < trace.lockedDown; ++n) {
    if (lines[n].find("CLONE_THREAD") != std::string::npos && lines[n].find("resumed") == std::string::npos)
      ++trace.threadsStartedBeforeLockdown;
    if (lines[n].find(" exit(") != std::string::npos) ++trace.threadsEndedBeforeLockdown;  // a thread ends
  }
  return trace;
}

// Landlock binds the locking thread and the threads it starts later, so no
// thread may be running at the lock-down: one started before it (albumsweep
// judges access to its library first, on a thread of its own) must have
// ended by then. (ThreadSanitizer's runtime starts one of its own, which it
// stops when told of the lock-down.)
void expectNoThreadBefore(const Trace& trace) {
#ifndef __SANITIZE_THREAD__
  EXPECT_EQ(trace.threadsStartedBeforeLockdown, trace.threadsEndedBeforeLockdown)
      << "a thread started before the lock-down was still running at it";
#else
  (void)trace;
#endif
}

class LockdownE2eTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::access("/usr/bin/strace", X_OK) != 0) GTEST_SKIP() << "strace is not installed";
    if (testsupport::runProcess({"/usr/bin/strace", "-o", "/dev/null", "/bin/true"}).exitStatus != 0)
      GTEST_SKIP() << "strace cannot trace here (ptrace not permitted)";
  }
  TempDir dir;
};

TEST_F(LockdownE2eTest, AlbumsweepAndTwinspotLockDownBeforeReadingStandardInput) {
  ASSERT_TRUE(testsupport::writeImage(dir.path() + "/a.jpg", {}));
  const std::vector<std::pair<std::vector<std::string>, std::string>> runs = {
      {{ALBUMSWEEP_BIN, "--library", dir.path()}, "{\"skip\":[]}"},
      {{ALBUMSWEEP_BIN, "thumb", "--library", dir.path()}, std::string("a.jpg\0", 6)},
      {{ALBUMSWEEP_BIN, "simverify", "--files"}, "{\"groups\":[]}"},
      {{TWINSPOT_BIN, "hash"}, dir.path() + "/a.jpg" + std::string(1, '\0')},
  };
  for (const auto& [argv, input] : runs) {
    SCOPED_TRACE(argv[0] + " " + argv[1]);
    Trace trace = traced(argv, input, dir.path() + "/trace");
    ASSERT_NE(trace.lockedDown, std::string::npos) << "no seccomp filter was loaded";
    ASSERT_NE(trace.firstStdinRead, std::string::npos) << "standard input was never read";
    EXPECT_LT(trace.noNewPrivs, trace.lockedDown);
    EXPECT_LT(trace.lockedDown, trace.firstStdinRead);
    expectNoThreadBefore(trace);
  }
}

// A refused run answers without reading standard input: a host that
// writes a large manifest learns of the refusal without first writing it all.
TEST_F(LockdownE2eTest, AlbumsweepAnswersARefusalBeforeReadingStandardInput) {
  for (const char* mode : {"scan", "thumb", "simverify"}) {
    SCOPED_TRACE(mode);
    Trace trace = traced({ALBUMSWEEP_BIN, mode, "--library", dir.path() + "/no-such-folder"},
                         std::string(1 << 20, ' '), dir.path() + "/trace");
    ASSERT_NE(trace.firstStdoutWrite, std::string::npos) << "no access line";
    EXPECT_EQ(trace.firstStdinRead, std::string::npos) << "standard input was read";
  }
}

TEST_F(LockdownE2eTest, ThermwatchLocksDownBeforeWritingItsDocument) {
  Trace trace = traced({THERMWATCH_BIN}, "", dir.path() + "/trace");
  ASSERT_NE(trace.lockedDown, std::string::npos) << "no seccomp filter was loaded";
  ASSERT_NE(trace.firstStdoutWrite, std::string::npos);
  EXPECT_LT(trace.lockedDown, trace.firstStdoutWrite);
  expectNoThreadBefore(trace);
}

}  // namespace
