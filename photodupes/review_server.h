// `photodupes review`: the page on which a user goes through the groups,
// decides, and moves the copies to the Trash, served by photodupes itself.
//
// The server listens on the loopback interface only (127.0.0.1, and ::1
// where the machine has it). Other local users share loopback, so nothing
// is served to a request that has not shown a secret:
// - The address printed (and passed to the browser) holds a single-use
//   token of 128 random bits (getrandom) that expires kTokenLife after the
//   start. The first load trades it for a session cookie (HttpOnly,
//   SameSite=Strict) and is sent on to "/" so that the token leaves the
//   address bar and the history. A token read later from a command line
//   (/proc/PID/cmdline of xdg-open or the browser) is spent or expired.
// - Cookies are not bound to a port, so every change is a POST that also
//   carries the page's own token in the header kPageTokenHeader: a page of
//   another origin can neither read it nor send the header without a CORS
//   preflight, which this server never grants (it sends no CORS headers).
// - A request whose Host is not this server's loopback address and port is
//   refused (DNS rebinding).
// - Every answer has a Content-Security-Policy that allows only this origin
//   (no inline script, no other host), X-Content-Type-Options: nosniff,
//   no caching and no referrer. Pictures go out as image/jpeg.
// - Photos are named by number (ReviewBackend's ids), never by path; any
//   other form of id is a bad request, an unknown number "not found".
//
// The server decodes no image: thumbnails are the catalog's stored bytes,
// larger previews come from a locked-down child (the backend's business).
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace photodupes {

// A request the backend refuses: 400 (bad) or 404 (unknown item).
struct ReviewRefusal {
  int status = 400;
  std::string message;
};

// What the page shows and acts on. The server calls it from its worker
// threads, one call at a time (it holds a mutex around each call).
class ReviewBackend {
 public:
  virtual ~ReviewBackend() = default;
  // One page of the groups, in the order of bytes to free:
  // {"summary":{"groups","not_kept","bytes_freed","bytes_text","changed"},
  // "total","from","at","groups":[{"key","reason","bytes_freed","members":
  // [{"id",<number>,"name","folder","keep","reason","w","h","bytes",
  // "created","dist","bits"}]}]}: at most `count` groups from position
  // `from`; given the `key` of a group still there, the page of `count`
  // groups that holds it instead (from a multiple of `count`) with "at" its
  // position ("at" is null otherwise). The groups are kept between calls
  // and found again only when the catalog changed.
  virtual nlohmann::json groups(std::size_t from, std::size_t count, const std::string& key) = 0;
  // A stamp that changes when the groups changed (this page's decisions, or
  // a scan, a move or an undo in another terminal): cheap, taken without
  // the catalog's lock. The page asks for it every few seconds.
  virtual std::string version() = 0;
  // The stored thumbnail (JPEG bytes) of photo `id`; nothing when it has
  // none. Throws ReviewRefusal for an unknown id.
  virtual std::optional<std::string> thumbnail(std::int64_t id) = 0;
  // A larger preview (JPEG bytes, at most `size` pixels a side), decoded by
  // a locked-down child. Nothing when it could not be made.
  virtual std::optional<std::string> preview(std::int64_t id, int size) = 0;
  // A decision, as the page sends it: {"action", "group", "id"}; returns
  // {"ok":true} or throws ReviewRefusal.
  virtual nlohmann::json decide(const nlohmann::json& decision) = 0;
  // Takes back the last decision still standing.
  virtual nlohmann::json undoDecision() = 0;
  // Moves the not-kept files to the Trash, calling `progress(done, total)`;
  // returns {"batch","moved","skipped":[{"name","reason"}],"bytes"}.
  virtual nlohmann::json trash(const std::function<void(std::size_t, std::size_t)>& progress) = 0;
  // Puts the last batch back; returns {"restored","failed":[{"name","reason"}]}.
  virtual nlohmann::json undoTrash() = 0;
};

class ReviewServer {
 public:
  static constexpr std::chrono::seconds kTokenLife{60};
  static constexpr const char* kPageTokenHeader = "X-Photodupes-Page";
  static constexpr const char* kCookie = "photodupes_session";
  static constexpr int kLargestPreview = 1600;
  static constexpr std::size_t kMostGroups = 1000;  // per /api/groups answer

  using Clock = std::function<std::chrono::steady_clock::time_point()>;

  explicit ReviewServer(ReviewBackend& backend, Clock clock = std::chrono::steady_clock::now);
  ~ReviewServer();
  ReviewServer(const ReviewServer&) = delete;
  ReviewServer& operator=(const ReviewServer&) = delete;

  // Binds 127.0.0.1 (and ::1 when present) on `port`, or on a free port
  // when 0, and starts serving on threads of its own. Throws
  // std::runtime_error when the port cannot be had.
  void start(int port);
  int port() const { return port_; }
  // The address to open: http://127.0.0.1:PORT/?t=TOKEN.
  std::string address() const;
  // Stops serving (also called by the page's "Finish"); idempotent.
  void stop();
  // True once stop() was called or the page finished.
  bool finished() const { return finished_; }

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
  std::atomic<bool> finished_{false};
  int port_ = 0;
};

// 128 random bits from getrandom(2), as 32 lowercase hex digits.
std::string randomToken();

}  // namespace photodupes
