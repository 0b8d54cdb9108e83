// The lock-down of a running program. Each program calls lockDown once,
// after its start-up (libraries initialised, every module and loader they
// load at run time already loaded) and before it reads its first byte of
// untrusted data. From then on the process, and every thread it starts,
// cannot write, create, remove or rename files, change permissions, run a
// program, start a process, open a network connection, trace another
// process or mount anything; it may only read below the folders its policy
// names. So an image that takes over a decoder still cannot do harm beyond
// writing to the standard output the program already holds.
//
// Layers, each used where the kernel offers it and skipped silently where
// it does not (the program's output never depends on them):
// - no new privileges (prctl PR_SET_NO_NEW_PRIVS);
// - a seccomp allowlist of system calls, for every thread of the process;
//   anything else fails with EPERM (never a kill, so a forgotten call shows
//   up as a failing test rather than a crashed run). Files open read-only;
//   clone only makes threads; ioctl only asks terminal and pipe questions;
//   signals only reach the process itself;
// - Landlock: reading only below the policy's folders, nothing else
//   anywhere (no write, create, remove, rename, execute, truncate, device
//   ioctl; no TCP; no signals or abstract sockets outside the process).
//   Landlock binds the calling thread and the threads it starts later, so
//   call lockDown before starting threads of your own.
#pragma once

#include <string>
#include <vector>

namespace lockdown {

// A file or folder the caller has already opened (O_PATH is enough), so
// that the lock-down looks nothing up for it: the library folder, whose
// lookup can hang on a dead network mount, is opened once, within the
// bounded wait for the access answer. The descriptor stays the caller's.
struct OpenPath {
  int fd = -1;
  bool folder = true;
};

struct LockdownPolicy {
  std::vector<std::string> readBeneath;  // files and folders readable below these paths ("/": everywhere)
  bool landlock = true;                  // use Landlock where offered (tests turn it off to try seccomp alone)
  std::vector<OpenPath> readBeneathOpen = {};  // likewise, already open
};

// albumsweep: below its library folder, plus the system's public files that
// libraries read on first use (/usr) and /proc/self for the mount table that
// tells network folders; everywhere with "simverify --files".
LockdownPolicy albumsweepPolicy(const std::string& libraryRoot, bool readsFilesAnywhere);
// twinspot: reads any file named on its input.
LockdownPolicy twinspotPolicy();
// thermwatch: the sensors below /sys.
LockdownPolicy thermwatchPolicy();

// Which layers are in force.
struct LockdownLayers {
  bool noNewPrivs = false;
  bool seccomp = false;
  int landlockAbi = 0;  // the kernel's Landlock ABI version used; 0: none
};

// Applies the policy to the whole process. Only the first call of a process
// does anything; later calls give the layers of the first.
LockdownLayers lockDown(const LockdownPolicy& policy);

// "seccomp, no-new-privs, Landlock ABI 4" (for tests and diagnostics).
std::string describe(const LockdownLayers& layers);

}  // namespace lockdown
