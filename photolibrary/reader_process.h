// A helper process that does a program's file access where that access can
// hang, so that the program itself can always end.
//
// Why a process: a thread blocked in a read of a dead network mount or a
// stuck FUSE file system sits in an uninterruptible wait, and a process
// cannot end while any of its threads does, not even with _exit: the host
// would see the end of our output and our exit status only when the read
// returns (never, on a hard-mounted share that is gone). A thread of ours
// that waits for another process's answer on a socket can always be ended.
//
// The helper is forked while the program is still one thread, before its
// lock-down (which forbids new processes), and locks itself down with the
// caller's policy. It holds none of the program's pipes: its standard
// input, output and error are /dev/null and every other inherited pipe or
// socket is closed, so a host sees the end of the output as soon as the
// program itself ends. It ends when the program does, by the parent-death
// signal, or when one of its channels reads the end of file and finds the
// program gone; a thread of it blocked in a hung read delays that end by no
// more than the hang itself (and then finds its channel closed).
//
// The program must ignore SIGPIPE (a write to a helper that has gone then
// fails instead of ending the program).
//
// Requests travel on a pool of channels (socket pairs made before the
// fork, one thread of the helper serving each), one request and its answer
// at a time per channel, so that a request that hangs keeps only its own
// channel. Each message is a frame: a kind byte, a 64-bit length, the
// payload. A request is one frame; its answer any number of frames, the
// last one of kind kEnd.
#pragma once

#include <sys/types.h>

#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace photolibrary::reader {

enum FrameKind : std::uint8_t {
  kEnd = 0,       // the answer, last frame of an exchange
  kBytes = 1,     // a piece of a file's bytes
  kProgress = 2,  // some of a download has come
};

// Writes the frames of one answer, in the helper.
class Replier {
 public:
  explicit Replier(int fd) : fd_(fd) {}
  // False once the program has gone (the helper then ends).
  bool frame(FrameKind kind, std::span<const std::uint8_t> payload);
  bool frame(FrameKind kind, std::string_view payload) {
    return frame(kind, {reinterpret_cast<const std::uint8_t*>(payload.data()), payload.size()});
  }

 private:
  int fd_;
};

// Serves one request in the helper: `request` is its payload; the answer
// goes through `reply` and must end with a kEnd frame.
using Serve = std::function<void(std::string_view request, Replier& reply)>;

struct Setup {
  int channels = 8;
  // Called in the helper after the fork, before its first request, while
  // it is one thread: locks it down (its policy may look up nothing new).
  std::function<void()> lockDown;
  // Called once in the helper after lockDown, before the first request.
  std::function<void()> prepare;
  Serve serve;
};

class Process;

// One request and its answer on a channel of its own; the channel goes back
// to the pool when the exchange ends cleanly (the kEnd frame read), and is
// dropped otherwise.
class Exchange {
 public:
  Exchange(Exchange&&) noexcept;
  Exchange& operator=(Exchange&&) = delete;
  ~Exchange();
  bool ok() const { return fd_ >= 0; }
  // Sends the request.
  bool send(std::string_view request);
  // The next frame's kind and payload length; false when the helper has
  // gone or the channel is broken.
  bool next(FrameKind& kind, std::uint64_t& length);
  // Exactly `n` bytes of the current frame's payload.
  bool read(void* into, std::size_t n);
  // A whole payload of `length` bytes.
  bool readString(std::uint64_t length, std::string& into);

 private:
  friend class Process;
  Exchange(std::shared_ptr<Process> owner, int fd) : owner_(std::move(owner)), fd_(fd) {}
  std::shared_ptr<Process> owner_;
  int fd_ = -1;
  bool clean_ = false;             // the answer's kEnd frame has been read to its end
  std::uint64_t pendingEnd_ = 0;   // bytes of the kEnd frame's payload not yet read
};

// The program's side of the helper.
class Process : public std::enable_shared_from_this<Process> {
 public:
  // Forks the helper. Call while the program is one thread (before it
  // starts threads of its own or locks itself down). Null when it could not
  // be started; the caller then does its file access itself.
  static std::shared_ptr<Process> start(Setup setup);

  // Ends and reaps the helper (in tests; a program keeps it to its end).
  ~Process();
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  // A free channel, waiting for one while all are busy; an exchange that is
  // not ok() when the helper has gone.
  Exchange lease();
  // A free channel or none, without waiting.
  std::optional<Exchange> tryLease();

  // One exchange whose answer is a single kEnd frame; nothing when the
  // helper has gone or answered otherwise.
  std::optional<std::string> ask(std::string_view request);

  pid_t pid() const { return pid_; }

 private:
  friend class Exchange;
  Process() = default;
  void giveBack(int fd, bool reusable);

  pid_t pid_ = -1;
  std::mutex mu_;
  std::condition_variable freed_;
  std::vector<int> free_;  // guarded by mu_
  int live_ = 0;           // channels not yet dropped, guarded by mu_
};

// Little-endian fields of a message.
class Encoder {
 public:
  Encoder& u64(std::uint64_t v) {
    for (int k = 0; k < 8; ++k) out_.push_back(static_cast<char>(v >> (8 * k)));
    return *this;
  }
  Encoder& i64(std::int64_t v) { return u64(static_cast<std::uint64_t>(v)); }
  Encoder& f64(double v) {
    std::uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    return u64(bits);
  }
  Encoder& str(std::string_view s) {
    u64(s.size());
    out_.append(s);
    return *this;
  }
  const std::string& bytes() const { return out_; }

 private:
  std::string out_;
};

// Reads what an Encoder wrote; a short message reads as zeros and empty
// strings and sets failed().
class Decoder {
 public:
  explicit Decoder(std::string_view in) : in_(in) {}
  std::uint64_t u64() {
    if (in_.size() < 8) return fail();
    std::uint64_t v = 0;
    for (int k = 0; k < 8; ++k) v |= static_cast<std::uint64_t>(static_cast<unsigned char>(in_[k])) << (8 * k);
    in_.remove_prefix(8);
    return v;
  }
  std::int64_t i64() { return static_cast<std::int64_t>(u64()); }
  double f64() {
    std::uint64_t bits = u64();
    double v;
    std::memcpy(&v, &bits, sizeof v);
    return v;
  }
  std::string str() {
    std::uint64_t n = u64();
    if (n > in_.size()) return fail(), std::string();
    std::string s(in_.substr(0, n));
    in_.remove_prefix(n);
    return s;
  }
  bool failed() const { return failed_; }

 private:
  std::uint64_t fail() {
    failed_ = true;
    in_ = {};
    return 0;
  }
  std::string_view in_;
  bool failed_ = false;
};

}  // namespace photolibrary::reader
