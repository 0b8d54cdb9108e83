#include "photodupes/review_server.h"

#include <httplib.h>
#include <openssl/crypto.h>
#include <sys/random.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <stdexcept>
#include <thread>

#include "photodupes/review_page.h"

namespace photodupes {

std::string randomToken() {
  std::array<unsigned char, 16> bytes{};
  std::size_t got = 0;
  while (got < bytes.size()) {
    const ssize_t n = getrandom(bytes.data() + got, bytes.size() - got, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw std::runtime_error("getrandom failed: no secret for the page");
    }
    got += static_cast<std::size_t>(n);
  }
  static const char* hex = "0123456789abcdef";
  std::string out;
  for (unsigned char b : bytes) out += hex[b >> 4], out += hex[b & 15];
  return out;
}

namespace {

bool sameSecret(const std::string& given, const std::string& secret) {
  return !secret.empty() && given.size() == secret.size() && CRYPTO_memcmp(given.data(), secret.data(), secret.size()) == 0;
}

// The value of cookie `name` in a Cookie header, or empty.
std::string cookieValue(const std::string& header, const std::string& name) {
  std::size_t pos = 0;
  while (pos < header.size()) {
    std::size_t end = header.find(';', pos);
    if (end == std::string::npos) end = header.size();
    std::string part = header.substr(pos, end - pos);
    while (!part.empty() && part.front() == ' ') part.erase(0, 1);
    if (part.size() > name.size() && part.compare(0, name.size(), name) == 0 && part[name.size()] == '=')
      return part.substr(name.size() + 1);
    pos = end + 1;
  }
  return "";
}

// A photo's number: decimal digits only, no sign, no path of any kind.
std::optional<std::int64_t> photoNumber(const std::string& text) {
  if (text.empty() || text.size() > 18 || text.find_first_not_of("0123456789") != std::string::npos)
    return std::nullopt;
  return std::stoll(text);
}

// Sets the answer's body as it is. cpp-httplib compresses a body given to
// set_content when the browser accepts it, with brotli at its slowest
// quality: 18 s for the 2.7 MB of 5,000 groups on a 2-core machine, and
// 0.1 s for the page's script, which over loopback saves nothing. A body
// given by a provider of known length is sent as it is.
void sendBody(httplib::Response& res, std::string body, const char* type) {
  if (body.empty()) return res.set_content("", type);
  auto shared = std::make_shared<const std::string>(std::move(body));
  res.set_content_provider(shared->size(), type, [shared](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
    return sink.write(shared->data() + offset, std::min(length, shared->size() - offset));
  });
}

void sendJson(httplib::Response& res, const nlohmann::json& body, int status = 200) {
  res.status = status;
  sendBody(res, body.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace), "application/json");
}

void refuse(httplib::Response& res, int status, const std::string& message) {
  res.status = status;
  sendBody(res, message + "\n", "text/plain; charset=utf-8");
}

}  // namespace

struct ReviewServer::Impl {
  ReviewBackend& backend;
  Clock clock;
  std::mutex mutex;          // the secrets below
  std::mutex backendMutex;   // one backend call at a time
  std::string token = randomToken();
  std::chrono::steady_clock::time_point tokenIssued;
  bool tokenSpent = false;
  std::string session, pageToken;
  std::vector<std::string> hosts;
  std::vector<std::unique_ptr<httplib::Server>> servers;
  std::vector<std::thread> threads;

  struct Job {
    bool running = false;
    std::size_t done = 0, total = 0;
    std::string kind;  // "trash" or "undo"
    nlohmann::json result;
  } job;
  std::thread jobThread;

  Impl(ReviewBackend& b, Clock c) : backend(b), clock(std::move(c)), tokenIssued(clock()) {}

  bool hostAllowed(const httplib::Request& req) const {
    const std::string host = req.get_header_value("Host");
    for (const std::string& h : hosts)
      if (host == h) return true;
    return false;
  }

  bool hasSession(const httplib::Request& req) {
    const std::string given = cookieValue(req.get_header_value("Cookie"), kCookie);
    std::lock_guard lock(mutex);
    return sameSecret(given, session);
  }

  // A change: a session, the page's token in its header, and no other origin.
  bool changeAllowed(const httplib::Request& req) {
    if (!hasSession(req)) return false;
    if (req.has_header("Origin")) {
      const std::string origin = req.get_header_value("Origin");
      bool ours = false;
      for (const std::string& h : hosts) ours = ours || origin == "http://" + h;
      if (!ours) return false;
    }
    std::lock_guard lock(mutex);
    return sameSecret(req.get_header_value(kPageTokenHeader), pageToken);
  }

  // Trades the address's token for a session; false when it is wrong, spent
  // or expired.
  bool spendToken(const std::string& given) {
    std::lock_guard lock(mutex);
    if (tokenSpent || clock() - tokenIssued > kTokenLife || !sameSecret(given, token)) return false;
    tokenSpent = true;
    session = randomToken();
    pageToken = randomToken();
    return true;
  }

  template <class F>
  void callBackend(httplib::Response& res, F&& f) {
    try {
      std::lock_guard lock(backendMutex);
      f();
    } catch (const ReviewRefusal& r) {
      sendJson(res, {{"error", r.message}}, r.status);
    } catch (const std::exception& e) {
      sendJson(res, {{"error", e.what()}}, 500);
    }
  }

  void startJob(const std::string& kind, httplib::Response& res) {
    {
      std::lock_guard lock(mutex);
      if (job.running) return sendJson(res, {{"error", "a move or an undo is still running"}}, 409);
      job = Job{true, 0, 0, kind, nullptr};
    }
    if (jobThread.joinable()) jobThread.join();
    jobThread = std::thread([this, kind] {
      nlohmann::json result;
      try {
        std::lock_guard lock(backendMutex);
        if (kind == "trash")
          result = backend.trash([this](std::size_t done, std::size_t total) {
            std::lock_guard l(mutex);
            job.done = done, job.total = total;
          });
        else
          result = backend.undoTrash();
      } catch (const ReviewRefusal& r) {
        result = {{"error", r.message}};
      } catch (const std::exception& e) {
        result = {{"error", e.what()}};
      }
      std::lock_guard lock(mutex);
      job.running = false;
      job.result = std::move(result);
    });
    sendJson(res, {{"started", kind}}, 202);
  }

  void routes(httplib::Server& s, ReviewServer& owner) {
    s.set_payload_max_length(64 * 1024);
    // Idle connections close soon, so that stop() (Finish, Ctrl-C) does not
    // wait for a browser's kept-alive connection.
    s.set_keep_alive_timeout(1);
    s.set_default_headers({
        {"Content-Security-Policy",
         "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; connect-src 'self'; "
         "base-uri 'none'; form-action 'none'; frame-ancestors 'none'"},
        {"X-Content-Type-Options", "nosniff"},
        {"Referrer-Policy", "no-referrer"},
        {"Cache-Control", "no-store"},
        {"X-Frame-Options", "DENY"},
    });
    s.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
      if (!hostAllowed(req)) {
        refuse(res, 421, "This server answers only at its own loopback address.");
        return httplib::Server::HandlerResponse::Handled;
      }
      if (req.path == "/" && req.method == "GET" && req.has_param("t")) {
        if (!spendToken(req.get_param_value("t"))) {
          refuse(res, 403, "This address was used already or has expired: run `photodupes review` again.");
          return httplib::Server::HandlerResponse::Handled;
        }
        std::lock_guard lock(mutex);
        res.set_header("Set-Cookie", std::string(kCookie) + "=" + session + "; Path=/; HttpOnly; SameSite=Strict");
        res.set_redirect("/", 303);
        return httplib::Server::HandlerResponse::Handled;
      }
      const bool change = req.method != "GET" && req.method != "HEAD";
      if (change ? !changeAllowed(req) : !hasSession(req)) {
        refuse(res, 403, "Open the address `photodupes review` printed.");
        return httplib::Server::HandlerResponse::Handled;
      }
      return httplib::Server::HandlerResponse::Unhandled;
    });

    s.Get("/", [this](const httplib::Request&, httplib::Response& res) {
      std::string page;
      {
        std::lock_guard lock(mutex);
        page = reviewPage(pageToken);
      }
      sendBody(res, std::move(page), "text/html; charset=utf-8");
    });
    s.Get("/review.js", [](const httplib::Request&, httplib::Response& res) {
      sendBody(res, kReviewScript, "text/javascript; charset=utf-8");
    });
    s.Get("/review.css", [](const httplib::Request&, httplib::Response& res) {
      sendBody(res, kReviewStyle, "text/css; charset=utf-8");
    });
    s.Get("/api/groups", [this](const httplib::Request& req, httplib::Response& res) {
      // ?from=N&count=M&key=gN: numbers and a group key, nothing else.
      std::size_t from = 0, count = 50;
      for (auto [name, value] : {std::pair{"from", &from}, std::pair{"count", &count}})
        if (req.has_param(name)) {
          const auto n = photoNumber(req.get_param_value(name));
          if (!n) return refuse(res, 400, std::string(name) + ": a number");
          *value = static_cast<std::size_t>(*n);
        }
      count = std::min(count, kMostGroups);
      const std::string key = req.get_param_value("key");
      if (!key.empty() && (key[0] != 'g' || !photoNumber(key.substr(1))))
        return refuse(res, 400, "key: a group's key");
      callBackend(res, [&] {
        nlohmann::json body = backend.groups(from, count, key);
        body["version"] = backend.version();
        sendJson(res, body);
      });
    });
    s.Get("/api/version", [this](const httplib::Request&, httplib::Response& res) {
      callBackend(res, [&] { sendJson(res, {{"version", backend.version()}}); });
    });
    auto picture = [this](bool large) {
      return [this, large](const httplib::Request& req, httplib::Response& res) {
        const auto id = photoNumber(req.matches[1]);
        if (!id) return refuse(res, 400, "A photo is named by its number.");
        int size = kLargestPreview;
        if (large && req.has_param("size")) {
          const auto n = photoNumber(req.get_param_value("size"));
          if (!n || *n < 1 || *n > kLargestPreview) return refuse(res, 400, "size: 1 to 1600 pixels");
          size = static_cast<int>(*n);
        }
        callBackend(res, [&] {
          const auto bytes = large ? backend.preview(*id, size) : backend.thumbnail(*id);
          if (!bytes) return refuse(res, 404, "No preview of this photo.");
          sendBody(res, *bytes, "image/jpeg");
        });
      };
    };
    s.Get(R"(/api/thumb/([^/]*))", picture(false));
    s.Get(R"(/api/preview/([^/]*))", picture(true));
    s.Get("/api/job", [this](const httplib::Request&, httplib::Response& res) {
      std::lock_guard lock(mutex);
      sendJson(res, {{"running", job.running},
                     {"kind", job.kind},
                     {"done", job.done},
                     {"total", job.total},
                     {"result", job.result}});
    });

    s.Post("/api/decide", [this](const httplib::Request& req, httplib::Response& res) {
      const nlohmann::json body = nlohmann::json::parse(req.body, nullptr, false);
      if (!body.is_object() || !body.contains("action") || !body["action"].is_string())
        return refuse(res, 400, "A decision is a JSON object with an action.");
      // Photos go by number only; a path or anything else in "id" is refused.
      if (body.contains("id") && !body["id"].is_number_unsigned())
        return refuse(res, 400, "A photo is named by its number.");
      callBackend(res, [&] { sendJson(res, backend.decide(body)); });
    });
    s.Post("/api/undo-decision", [this](const httplib::Request&, httplib::Response& res) {
      callBackend(res, [&] { sendJson(res, backend.undoDecision()); });
    });
    s.Post("/api/trash", [this](const httplib::Request&, httplib::Response& res) { startJob("trash", res); });
    s.Post("/api/undo-trash", [this](const httplib::Request&, httplib::Response& res) { startJob("undo", res); });
    s.Post("/api/finish", [&owner](const httplib::Request&, httplib::Response& res) {
      sendJson(res, {{"finished", true}});
      owner.finished_ = true;
    });
  }
};

ReviewServer::ReviewServer(ReviewBackend& backend, Clock clock) : impl_(new Impl(backend, std::move(clock))) {}

ReviewServer::~ReviewServer() {
  stop();
  for (std::thread& t : impl_->threads)
    if (t.joinable()) t.join();
  if (impl_->jobThread.joinable()) impl_->jobThread.join();
}

void ReviewServer::start(int port) {
  auto v4 = std::make_unique<httplib::Server>();
  impl_->routes(*v4, *this);
  if (port == 0) {
    port_ = v4->bind_to_any_port("127.0.0.1");
    if (port_ <= 0) throw std::runtime_error("cannot listen on 127.0.0.1");
  } else {
    if (!v4->bind_to_port("127.0.0.1", port))
      throw std::runtime_error("cannot listen on 127.0.0.1 port " + std::to_string(port) + " (in use?)");
    port_ = port;
  }
  impl_->hosts = {"127.0.0.1:" + std::to_string(port_), "[::1]:" + std::to_string(port_)};
  impl_->servers.push_back(std::move(v4));
  // ::1 on the same port where the machine has IPv6 loopback; without it
  // the page is served on 127.0.0.1 alone.
  auto v6 = std::make_unique<httplib::Server>();
  v6->set_address_family(AF_INET6);
  impl_->routes(*v6, *this);
  if (v6->bind_to_port("::1", port_)) impl_->servers.push_back(std::move(v6));
  // stop() only reaches a server whose listening loop has begun: one asked
  // to stop before that would listen on for ever and its thread would never
  // join. So start() returns only once every loop runs (or has ended).
  std::vector<std::shared_ptr<std::atomic<bool>>> ended;
  for (auto& s : impl_->servers) {
    ended.push_back(std::make_shared<std::atomic<bool>>(false));
    impl_->threads.emplace_back([server = s.get(), done = ended.back()] {
      server->listen_after_bind();
      *done = true;
    });
  }
  for (std::size_t k = 0; k < impl_->servers.size(); ++k)
    while (!impl_->servers[k]->is_running() && !*ended[k]) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

std::string ReviewServer::address() const {
  return "http://127.0.0.1:" + std::to_string(port_) + "/?t=" + impl_->token;
}

void ReviewServer::stop() {
  finished_ = true;
  for (auto& s : impl_->servers) s->stop();
}

}  // namespace photodupes
