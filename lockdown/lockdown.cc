#include "lockdown/lockdown.h"

#include <fcntl.h>
#include <linux/landlock.h>
#include <linux/sched.h>
#include <seccomp.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <ctime>
#include <mutex>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define LOCKDOWN_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define LOCKDOWN_SANITIZED 1
#endif
#endif
#ifdef LOCKDOWN_SANITIZED
#include <sanitizer/common_interface_defs.h>
#endif

// Landlock rights newer than the oldest kernel headers we build with.
#ifndef LANDLOCK_ACCESS_FS_TRUNCATE
#define LANDLOCK_ACCESS_FS_TRUNCATE (1ULL << 14)
#endif
#ifndef LANDLOCK_ACCESS_FS_IOCTL_DEV
#define LANDLOCK_ACCESS_FS_IOCTL_DEV (1ULL << 15)
#endif
#ifndef LANDLOCK_ACCESS_NET_BIND_TCP
#define LANDLOCK_ACCESS_NET_BIND_TCP (1ULL << 0)
#define LANDLOCK_ACCESS_NET_CONNECT_TCP (1ULL << 1)
#endif
#ifndef LANDLOCK_SCOPE_ABSTRACT_UNIX_SOCKET
#define LANDLOCK_SCOPE_ABSTRACT_UNIX_SOCKET (1ULL << 0)
#define LANDLOCK_SCOPE_SIGNAL (1ULL << 1)
#endif

namespace {

std::atomic<bool> lockedDown{false};

}  // namespace

#ifdef LOCKDOWN_SANITIZED
// LeakSanitizer's exit-time check stops the other threads through a traced
// helper process, which the lock-down refuses (no fork, no ptrace). A
// locked-down process therefore skips it; processes that never lock down
// (the unit tests) keep it.
extern "C" int __lsan_is_turned_off() { return lockedDown.load() ? 1 : 0; }
#endif

namespace lockdown {
namespace {

// ---- Landlock ----

// The ruleset attribute as the newest kernels read it; older kernels are
// given only the fields they know.
struct RulesetAttr {
  std::uint64_t handledAccessFs;
  std::uint64_t handledAccessNet;
  std::uint64_t scoped;
};

int landlockAbi() {
  long abi = syscall(SYS_landlock_create_ruleset, nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION);
  return abi > 0 ? static_cast<int>(abi) : 0;
}

// Confines reading to the policy's paths and forbids every other file
// right, TCP, and signals or abstract sockets outside the process. Gives the
// ABI used, 0 when Landlock is absent or could not be applied.
int applyLandlock(const LockdownPolicy& policy) {
  const int abi = landlockAbi();
  if (abi < 1) return 0;
  RulesetAttr attr{};
  attr.handledAccessFs = (LANDLOCK_ACCESS_FS_MAKE_SYM << 1) - 1;  // the 13 rights of ABI 1
  if (abi >= 2) attr.handledAccessFs |= LANDLOCK_ACCESS_FS_REFER;
  if (abi >= 3) attr.handledAccessFs |= LANDLOCK_ACCESS_FS_TRUNCATE;
  if (abi >= 5) attr.handledAccessFs |= LANDLOCK_ACCESS_FS_IOCTL_DEV;
  if (abi >= 4) attr.handledAccessNet = LANDLOCK_ACCESS_NET_BIND_TCP | LANDLOCK_ACCESS_NET_CONNECT_TCP;
  if (abi >= 6) attr.scoped = LANDLOCK_SCOPE_ABSTRACT_UNIX_SOCKET | LANDLOCK_SCOPE_SIGNAL;
  const std::size_t size = abi >= 6 ? sizeof attr : abi >= 4 ? 2 * sizeof(std::uint64_t) : sizeof(std::uint64_t);

  const int ruleset = static_cast<int>(syscall(SYS_landlock_create_ruleset, &attr, size, 0));
  if (ruleset < 0) return 0;
  for (const std::string& path : policy.readBeneath) {
    const int fd = ::open(path.c_str(), O_PATH | O_CLOEXEC);
    if (fd < 0) continue;  // a path that does not exist grants nothing
    struct stat st {};
    landlock_path_beneath_attr rule{};
    rule.allowed_access = LANDLOCK_ACCESS_FS_READ_FILE;
    if (fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) rule.allowed_access |= LANDLOCK_ACCESS_FS_READ_DIR;
    rule.parent_fd = fd;
    syscall(SYS_landlock_add_rule, ruleset, LANDLOCK_RULE_PATH_BENEATH, &rule, 0);
    ::close(fd);
  }
  for (const OpenPath& open : policy.readBeneathOpen) {
    if (open.fd < 0) continue;
    landlock_path_beneath_attr rule{};
    rule.allowed_access = LANDLOCK_ACCESS_FS_READ_FILE | (open.folder ? LANDLOCK_ACCESS_FS_READ_DIR : 0);
    rule.parent_fd = open.fd;
    syscall(SYS_landlock_add_rule, ruleset, LANDLOCK_RULE_PATH_BENEATH, &rule, 0);
  }
  const bool applied = syscall(SYS_landlock_restrict_self, ruleset, 0) == 0;
  ::close(ruleset);
  return applied ? abi : 0;
}

// ---- seccomp ----

// Calls allowed as they are: reading and inspecting open files and the file
// tree, memory, threads and their synchronisation, time, signals to oneself,
// waiting, and writing to descriptors already held.
constexpr const char* kAllowed[] = {
    // descriptors
    "read", "readv", "pread64", "preadv", "preadv2", "write", "writev", "pwrite64", "pwritev", "pwritev2", "lseek",
    "close", "close_range", "dup", "dup2", "dup3", "fcntl", "pipe", "pipe2", "eventfd2", "fadvise64", "readahead",
    "poll", "ppoll", "select", "pselect6", "epoll_create1", "epoll_ctl", "epoll_wait", "epoll_pwait", "epoll_pwait2",
    // looking at files and folders
    "stat", "fstat", "lstat", "newfstatat", "statx", "statfs", "fstatfs", "access", "faccessat", "faccessat2",
    "readlink", "readlinkat", "getdents", "getdents64", "getcwd",
    // memory
    "brk", "mmap", "munmap", "mremap", "mprotect", "madvise", "mincore",
    // threads
    "futex", "futex_waitv", "set_robust_list", "get_robust_list", "rseq", "set_tid_address", "membarrier", "arch_prctl",
    "sched_yield", "sched_getaffinity", "sched_getparam", "sched_getscheduler", "sched_getattr",
    "sched_get_priority_max", "sched_get_priority_min", "getpriority", "getcpu", "exit", "exit_group",
    "restart_syscall",
    // identity and facts
    "gettid", "getpid", "getppid", "getuid", "geteuid", "getgid", "getegid", "getresuid", "getresgid", "getgroups",
    "uname", "sysinfo", "getrusage", "times", "getrandom", "getrlimit",
    // time
    "clock_gettime", "clock_getres", "gettimeofday", "time", "nanosleep", "clock_nanosleep",
    // signals
    "rt_sigaction", "rt_sigprocmask", "rt_sigreturn", "rt_sigpending", "rt_sigtimedwait", "rt_sigsuspend",
    "sigaltstack"};

// Opening flags that would write, create or truncate.
constexpr std::uint64_t kWritingOpenFlags = O_ACCMODE | O_CREAT | O_TRUNC;

// ioctl requests that only ask (is this a terminal, how much can be read)
// or set a descriptor's own flags.
constexpr std::uint64_t kAskingIoctls[] = {TCGETS, TIOCGWINSZ, FIONREAD, FIONBIO, FIOCLEX, FIONCLEX};

// prctl options that name threads or read a setting.
constexpr std::uint64_t kHarmlessPrctls[] = {PR_SET_NAME,         PR_GET_NAME,    PR_GET_DUMPABLE,
                                             PR_GET_NO_NEW_PRIVS, PR_GET_SECCOMP, 0x53564d41 /* PR_SET_VMA */};

// `landlockAbi`: the Landlock ABI already in force (0 for none).
bool applySeccomp(int landlockAbi) {
  scmp_filter_ctx ctx = seccomp_init(SCMP_ACT_ERRNO(EPERM));
  if (ctx == nullptr) return false;
  bool ok = seccomp_attr_set(ctx, SCMP_FLTATR_CTL_TSYNC, 1) == 0;  // every thread, not just this one
  auto allow = [&](const char* name, std::initializer_list<scmp_arg_cmp> args = {}, uint32_t action = SCMP_ACT_ALLOW) {
    const int nr = seccomp_syscall_resolve_name(name);
    if (nr == __NR_SCMP_ERROR) return;  // a call this system does not have
    ok = seccomp_rule_add_array(ctx, action, nr, static_cast<unsigned>(args.size()), args.begin()) == 0 && ok;
  };
  for (const char* name : kAllowed) allow(name);
  const auto self = static_cast<std::uint64_t>(getpid());

  allow("openat", {SCMP_A2(SCMP_CMP_MASKED_EQ, kWritingOpenFlags, 0)});
  allow("open", {SCMP_A1(SCMP_CMP_MASKED_EQ, kWritingOpenFlags, 0)});
  // Callers that get ENOSYS fall back to calls whose arguments the filter can
  // see: glibc to clone for threads, openat2 users to openat. openat2 keeps
  // its flags in a structure the filter cannot read, so it is allowed only
  // where Landlock already refuses every write, create and truncation
  // (ABI 3 and later), whatever the flags say.
  if (landlockAbi >= 3) allow("openat2");
  else allow("openat2", {}, SCMP_ACT_ERRNO(ENOSYS));
  allow("clone3", {}, SCMP_ACT_ERRNO(ENOSYS));
  allow("clone", {SCMP_A0(SCMP_CMP_MASKED_EQ, CLONE_THREAD, CLONE_THREAD)});
  for (std::uint64_t request : kAskingIoctls) allow("ioctl", {SCMP_A1(SCMP_CMP_EQ, request)});
  for (std::uint64_t option : kHarmlessPrctls) allow("prctl", {SCMP_A0(SCMP_CMP_EQ, option)});
  allow("kill", {SCMP_A0(SCMP_CMP_EQ, self)});
  allow("tgkill", {SCMP_A0(SCMP_CMP_EQ, self)});
  // Own settings only (pid 0), and limits read but never raised.
  allow("prlimit64", {SCMP_A0(SCMP_CMP_EQ, 0), SCMP_A2(SCMP_CMP_EQ, 0)});
  allow("sched_setattr", {SCMP_A0(SCMP_CMP_EQ, 0)});
  allow("sched_setaffinity", {SCMP_A0(SCMP_CMP_EQ, 0)});
  allow("sched_setscheduler", {SCMP_A0(SCMP_CMP_EQ, 0)});
  allow("setpriority", {SCMP_A0(SCMP_CMP_EQ, PRIO_PROCESS), SCMP_A1(SCMP_CMP_EQ, 0)});

  ok = ok && seccomp_load(ctx) == 0;
  seccomp_release(ctx);
  return ok;
}

// What the C library reads from files on first use, read now while it can:
// the time zone.
void readLazyLibcFiles() { tzset(); }

}  // namespace

LockdownPolicy albumsweepPolicy(const std::string& libraryRoot, bool readsFilesAnywhere) {
  if (readsFilesAnywhere) return {{"/"}};
  // Besides the library: /usr, the installed system's public files, for the
  // modules, plugins and tables libraries load on first use; /proc/self for
  // the mount table; the CPU list for the number of processors; the kernel's
  // random numbers.
  LockdownPolicy policy{{"/usr", "/proc/self", "/sys/devices/system/cpu", "/dev/urandom"}};
  if (!libraryRoot.empty()) policy.readBeneath.push_back(libraryRoot);
  return policy;
}

LockdownPolicy twinspotPolicy() { return {{"/"}}; }

LockdownPolicy thermwatchPolicy() { return {{"/sys"}}; }

LockdownLayers lockDown(const LockdownPolicy& policy) {
  static std::mutex mu;
  static LockdownLayers layers;
  std::lock_guard<std::mutex> g(mu);
  if (lockedDown.load()) return layers;
  readLazyLibcFiles();
#ifdef LOCKDOWN_SANITIZED
  // The sanitizer runtimes cache the memory map (and stop their background
  // thread) for reports they may have to write later.
  __sanitizer_sandbox_arguments args{0, -1, 0};
  __sanitizer_sandbox_on_notify(&args);
#endif
  layers.noNewPrivs = prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0;
  if (layers.noNewPrivs && policy.landlock) layers.landlockAbi = applyLandlock(policy);  // it requires no-new-privs
  layers.seccomp = applySeccomp(layers.landlockAbi);
  lockedDown.store(true);
  return layers;
}

std::string describe(const LockdownLayers& layers) {
  std::string text = layers.seccomp ? "seccomp" : "no seccomp";
  text += layers.noNewPrivs ? ", no-new-privs" : ", privileges kept";
  text += layers.landlockAbi > 0 ? ", Landlock ABI " + std::to_string(layers.landlockAbi) : ", no Landlock";
  return text;
}

}  // namespace lockdown
