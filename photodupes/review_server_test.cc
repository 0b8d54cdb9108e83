// The review server's locks, tried from outside over loopback HTTP: the
// secret in the address, the session cookie, the page token on changes,
// the Host check, the answers' headers and the photo numbers.
#include "photodupes/review_server.h"

#include <gtest/gtest.h>
#include <httplib.h>

namespace photodupes {
namespace {

using nlohmann::json;

// Two photos, 1 and 2; records what the server asked of it.
class FakeBackend : public ReviewBackend {
 public:
  std::vector<std::string> calls;
  json groups(std::size_t from, std::size_t count, const std::string& key) override {
    calls.push_back("groups " + std::to_string(from) + " " + std::to_string(count) + " " + key);
    return {{"summary", {{"groups", 1}, {"not_kept", 1}, {"bytes_freed", 5}, {"bytes_text", "5 bytes"}}},
            {"groups", json::array()}};
  }
  std::string version() override { return "v1"; }
  std::optional<std::string> thumbnail(std::int64_t id) override {
    calls.push_back("thumb " + std::to_string(id));
    if (id != 1 && id != 2) throw ReviewRefusal{404, "no such photo"};
    return std::string("\xff\xd8\xff\xe0 jpeg", 9);
  }
  std::optional<std::string> preview(std::int64_t id, int size) override {
    calls.push_back("preview " + std::to_string(id) + " " + std::to_string(size));
    return thumbnail(id);
  }
  json decide(const json& d) override {
    calls.push_back("decide " + d.dump());
    if (d.value("group", "") != "g1") throw ReviewRefusal{404, "no such group"};
    return {{"ok", true}};
  }
  json undoDecision() override { return {{"ok", true}}; }
  json trash(const std::function<void(std::size_t, std::size_t)>& progress) override {
    progress(1, 1);
    return {{"moved", 1}};
  }
  json undoTrash() override { return {{"restored", 1}}; }
};

class ReviewServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server.start(0);
    host = "127.0.0.1:" + std::to_string(server.port());
    const std::string address = server.address();
    token = address.substr(address.find("?t=") + 3);
  }
  httplib::Client client() {
    httplib::Client c("127.0.0.1", server.port());
    c.set_follow_location(false);
    return c;
  }
  // Spends the address's token; returns the session cookie ("name=value").
  std::string login() {
    auto c = client();
    auto r = c.Get("/?t=" + token);
    if (!r || r->status != 303) return "";
    const std::string set = r->get_header_value("Set-Cookie");
    return set.substr(0, set.find(';'));
  }
  std::string pageToken(const std::string& cookie) {
    auto c = client();
    auto r = c.Get("/", {{"Cookie", cookie}});
    if (!r) return "";
    const std::string key = "name=\"page-token\" content=\"";
    const auto at = r->body.find(key);
    return at == std::string::npos ? "" : r->body.substr(at + key.size(), 32);
  }

  std::chrono::steady_clock::time_point now = std::chrono::steady_clock::now();
  FakeBackend backend;
  ReviewServer server{backend, [this] { return now; }};
  std::string host, token;
};

TEST_F(ReviewServerTest, OnlyTheAddressSecretOpensASessionAndOnlyOnce) {
  EXPECT_EQ(token.size(), 32u);  // 128 bits
  auto c = client();
  EXPECT_EQ(c.Get("/")->status, 403);
  EXPECT_EQ(c.Get("/api/groups")->status, 403);
  std::string wrong = token;
  wrong[0] = wrong[0] == 'a' ? 'b' : 'a';
  EXPECT_EQ(c.Get("/?t=" + wrong)->status, 403);
  EXPECT_EQ(c.Get("/api/groups", {{"Cookie", std::string(ReviewServer::kCookie) + "=" + token}})->status, 403);

  auto r = c.Get("/?t=" + token);
  ASSERT_EQ(r->status, 303);
  EXPECT_EQ(r->get_header_value("Location"), "/");
  const std::string set = r->get_header_value("Set-Cookie");
  EXPECT_NE(set.find("HttpOnly"), std::string::npos);
  EXPECT_NE(set.find("SameSite=Strict"), std::string::npos);
  const std::string cookie = set.substr(0, set.find(';'));
  EXPECT_EQ(c.Get("/api/groups", {{"Cookie", cookie}})->status, 200);
  EXPECT_EQ(c.Get("/?t=" + token)->status, 403);  // single use
  EXPECT_EQ(backend.calls, std::vector<std::string>{"groups 0 50 "});
}

// Finish or Ctrl-C can come right after the start: the server stops (and
// its threads join) however early it is asked to.
TEST(ReviewServerStop, AServerStoppedRightAfterItsStartEnds) {
  FakeBackend backend;
  for (int k = 0; k < 50; ++k) {
    ReviewServer server{backend, [] { return std::chrono::steady_clock::now(); }};
    server.start(0);
    ASSERT_GT(server.port(), 0);
  }  // each destructor stops and joins: before, one would now and then wait for ever
}

TEST_F(ReviewServerTest, TheSecretExpiresWithinAMinute) {
  now += ReviewServer::kTokenLife + std::chrono::seconds(1);
  EXPECT_EQ(login(), "");
}

TEST_F(ReviewServerTest, AForeignHostIsRefusedEvenWithTheSecret) {
  auto c = client();
  for (const std::string& h : {"evil.example:" + std::to_string(server.port()), std::string("localhost:1"),
                               "127.0.0.1:" + std::to_string(server.port() + 1), std::string("evil.example")}) {
    SCOPED_TRACE(h);
    auto r = c.Get("/?t=" + token, {{"Host", h}});
    EXPECT_EQ(r->status, 421);
    EXPECT_EQ(r->get_header_value("Set-Cookie"), "");
  }
  EXPECT_NE(login(), "");  // the secret was not spent by those
}

TEST_F(ReviewServerTest, ChangesNeedPostThePageTokenAndNoOtherOrigin) {
  const std::string cookie = login();
  const std::string page = pageToken(cookie);
  ASSERT_EQ(page.size(), 32u);
  EXPECT_NE(page, cookie.substr(cookie.find('=') + 1));
  auto c = client();
  const std::string decision = R"({"action":"keeper","group":"g1","id":2})";
  // The cookie alone, as a cross-origin form would send it.
  EXPECT_EQ(c.Post("/api/decide", {{"Cookie", cookie}, {"Origin", "http://evil.example"}}, "action=keeper",
                   "application/x-www-form-urlencoded")
                ->status,
            403);
  EXPECT_EQ(c.Post("/api/decide", {{"Cookie", cookie}}, decision, "application/json")->status, 403);
  EXPECT_EQ(c.Post("/api/decide", {{"Cookie", cookie}, {ReviewServer::kPageTokenHeader, page},
                                   {"Origin", "http://evil.example"}},
                   decision, "application/json")
                ->status,
            403);
  EXPECT_EQ(c.Post("/api/decide", {{ReviewServer::kPageTokenHeader, page}}, decision, "application/json")->status,
            403);
  EXPECT_NE(c.Get("/api/decide", {{"Cookie", cookie}, {ReviewServer::kPageTokenHeader, page}})->status, 200);
  EXPECT_EQ(c.Post("/api/finish", {{"Cookie", cookie}}, "{}", "application/json")->status, 403);
  EXPECT_FALSE(server.finished());
  EXPECT_TRUE(std::none_of(backend.calls.begin(), backend.calls.end(),
                           [](const std::string& call) { return call.starts_with("decide"); }));

  auto ok = c.Post("/api/decide",
                   {{"Cookie", cookie}, {ReviewServer::kPageTokenHeader, page}, {"Origin", "http://" + host}},
                   decision, "application/json");
  EXPECT_EQ(ok->status, 200);
  EXPECT_EQ(backend.calls.back(), "decide " + json::parse(decision).dump());
  EXPECT_EQ(c.Post("/api/finish", {{"Cookie", cookie}, {ReviewServer::kPageTokenHeader, page}}, "{}",
                   "application/json")
                ->status,
            200);
  EXPECT_TRUE(server.finished());
}

TEST_F(ReviewServerTest, PhotosAreNamedByNumberOnly) {
  const std::string cookie = login();
  const std::string page = pageToken(cookie);
  auto c = client();
  httplib::Headers h = {{"Cookie", cookie}};
  EXPECT_EQ(c.Get("/api/thumb/1", h)->status, 200);
  EXPECT_EQ(c.Get("/api/thumb/999", h)->status, 404);
  for (const char* bad : {"..", "..%2F..%2Fetc%2Fpasswd", "%2Fetc%2Fpasswd", "-1", "1x", "0x10", ""}) {
    SCOPED_TRACE(bad);
    EXPECT_GE(c.Get(std::string("/api/thumb/") + bad, h)->status, 400);
    EXPECT_GE(c.Get(std::string("/api/preview/") + bad, h)->status, 400);
  }
  for (const char* bad : {"..%2F..%2Fx", "%2Fetc%2Fpasswd", "0", "1601", "-3"})
    EXPECT_EQ(c.Get(std::string("/api/preview/1?size=") + bad, h)->status, 400) << bad;
  EXPECT_EQ(c.Get("/api/preview/2?size=800", h)->status, 200);
  const std::vector<std::string> seen = {"thumb 1", "thumb 999", "preview 2 800", "thumb 2"};
  EXPECT_EQ(backend.calls, seen);

  h.emplace(ReviewServer::kPageTokenHeader, page);
  for (const char* bad : {R"({"action":"keeper","group":"g1","id":"/etc/passwd"})",
                                 R"({"action":"keeper","group":"g1","id":"../x"})",
                                 R"({"action":"keeper","group":"g1","id":-2})", R"({"group":"g1"})", "not json"})
    EXPECT_EQ(c.Post("/api/decide", h, bad, "application/json")->status, 400) << bad;
  EXPECT_EQ(c.Post("/api/decide", h, R"({"action":"keeper","group":"../g1","id":1})", "application/json")->status,
            404);
}

TEST_F(ReviewServerTest, APageOfGroupsIsAskedForByNumbersAndAKeyOnly) {
  const std::string cookie = login();
  auto c = client();
  httplib::Headers h = {{"Cookie", cookie}};
  for (const char* bad : {"from=-1", "from=..%2Fx", "count=1e3", "count=", "key=..%2Fg1", "key=g", "key=1",
                          "key=g1%2F..", "key=%3Cscript%3E"})
    EXPECT_EQ(c.Get(std::string("/api/groups?") + bad, h)->status, 400) << bad;
  EXPECT_TRUE(backend.calls.empty());
  EXPECT_EQ(c.Get("/api/groups?from=100&count=25&key=g12", h)->status, 200);
  EXPECT_EQ(c.Get("/api/groups?count=99999", h)->status, 200);
  const std::vector<std::string> asked = {"groups 100 25 g12",
                                          "groups 0 " + std::to_string(ReviewServer::kMostGroups) + " "};
  EXPECT_EQ(backend.calls, asked);
}

// cpp-httplib would compress a text answer with brotli at its slowest
// quality when the browser accepts it (seconds for the groups of a large
// library); over loopback every answer goes out as it is.
TEST_F(ReviewServerTest, AnswersAreSentUncompressed) {
  const std::string cookie = login();
  auto c = client();
  c.set_decompress(false);
  httplib::Headers h = {{"Cookie", cookie}, {"Accept-Encoding", "br, gzip, deflate"}};
  for (const char* path : {"/", "/review.js", "/review.css", "/api/groups", "/api/thumb/1", "/nothing-here"}) {
    auto r = c.Get(path, h);
    ASSERT_TRUE(r) << path;
    EXPECT_FALSE(r->has_header("Content-Encoding")) << path;
    if (r->status == 200) {
      EXPECT_EQ(r->get_header_value("Content-Length"), std::to_string(r->body.size())) << path;
    }
  }
  EXPECT_NE(c.Get("/review.js", h)->body.find("use strict"), std::string::npos);
}

TEST_F(ReviewServerTest, EveryAnswerLocksThePageToItsOrigin) {
  const std::string cookie = login();
  auto c = client();
  auto check = [](const httplib::Result& r) {
    ASSERT_TRUE(r);
    const std::string csp = r->get_header_value("Content-Security-Policy");
    EXPECT_NE(csp.find("default-src 'none'"), std::string::npos);
    EXPECT_NE(csp.find("script-src 'self'"), std::string::npos);
    EXPECT_EQ(csp.find("unsafe"), std::string::npos);
    EXPECT_EQ(r->get_header_value("X-Content-Type-Options"), "nosniff");
    for (const auto& [name, value] : r->headers) EXPECT_FALSE(name.starts_with("Access-Control")) << name;
  };
  check(c.Get("/"));  // refused answers too
  auto thumb = c.Get("/api/thumb/1", {{"Cookie", cookie}});
  check(thumb);
  EXPECT_EQ(thumb->get_header_value("Content-Type"), "image/jpeg");
  check(c.Get("/", {{"Cookie", cookie}}));
  check(c.Options("/api/decide", {{"Cookie", cookie},
                                  {"Origin", "http://evil.example"},
                                  {"Access-Control-Request-Method", "POST"},
                                  {"Access-Control-Request-Headers", ReviewServer::kPageTokenHeader}}));
}

TEST_F(ReviewServerTest, TheMoveRunsAsAJobThePagePolls) {
  const std::string cookie = login();
  httplib::Headers h = {{"Cookie", cookie}, {ReviewServer::kPageTokenHeader, pageToken(cookie)}};
  auto c = client();
  EXPECT_EQ(c.Post("/api/trash", h, "{}", "application/json")->status, 202);
  json job;
  for (int i = 0; i < 200; ++i) {
    job = json::parse(c.Get("/api/job", h)->body);
    if (!job["running"].get<bool>()) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_EQ(job["result"]["moved"], 1);
  EXPECT_EQ(job["done"], 1);
}

}  // namespace
}  // namespace photodupes
