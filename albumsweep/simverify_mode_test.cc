// The similarity verification mode in process, against the scripted fake
// library, and with image files.
#include <sys/stat.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "albumsweep/modes.h"
#include "albumsweep/modes_test_support.h"
#include "albumsweep/scan_test_support.h"
#include "albumsweep/simverify_mode.h"
#include "imaging/imaging.h"
#include "testsupport/images.h"

namespace albumsweep {
namespace {

using nlohmann::json;
using photolibrary::FakePhotoLibrary;
using Bytes = std::vector<std::uint8_t>;

struct SimRun {
  int status = -1;
  std::vector<json> lines;
};

class SimverifyTest : public ::testing::Test {
 protected:
  void SetUp() override { imaging::initImaging(); }

  SimRun run(const json& doc, std::vector<std::string> extraArgs = {}) { return runText(doc.dump(), extraArgs); }

  SimRun runText(const std::string& input, std::vector<std::string> extraArgs = {},
                 const featureprint::FeaturePrinter& printer = featureprint::defaultFeaturePrinter()) {
    testing::CapturedOutput out;
    Services services;
    services.library = library_;
    services.clock = &clock;
    services.out = out.file();
    services.input = input;
    services.limits.authorization = timing::Seconds(10);
    settings.args = {"albumsweep", "simverify"};
    settings.args.insert(settings.args.end(), extraArgs.begin(), extraArgs.end());
    SimRun r;
    r.status = runSimverifyMode(settings, services, printer);
    r.lines = out.lines();
    return r;
  }

  void add(const std::string& id, Bytes data) { fake.add(testing::imageEntry(id, 1, std::move(data))); }

  FakePhotoLibrary fake;
  photolibrary::PhotoLibrary* library_ = &fake;
  timing::FakeClock clock;
  RunSettings settings;
};

Bytes picture(testsupport::Pattern pattern, int width = 96, int height = 64) {
  testsupport::Picture look;
  look.pattern = pattern;
  look.width = width;
  look.height = height;
  return testsupport::encodeImage(look, ".jpg").value_or(Bytes{});
}

json pair(const std::string& a, const std::string& b) { return {{"a", a}, {"b", b}}; }
json failure(const std::string& id, const std::string& code) { return {{"id", id}, {"ok", false}, {"err", code}}; }

// The pair of a pair record ({"a","b"}), or the record itself.
json shape(const json& line) {
  if (line.contains("dist")) {
    EXPECT_TRUE(line["dist"].is_number_float());
    EXPECT_FALSE(line.contains("ok"));
    return pair(line["a"], line["b"]);
  }
  return line;
}
std::vector<json> shapes(const std::vector<json>& lines) {
  std::vector<json> out;
  for (const json& l : lines) out.push_back(shape(l));
  return out;
}

TEST_F(SimverifyTest, StarAroundTheFirstMemberWithPrintsMadeOncePerIdentifier) {
  add("a", picture(testsupport::Pattern::kScene));
  add("b", picture(testsupport::Pattern::kScene, 48, 32));
  add("c", picture(testsupport::Pattern::kStripes));
  SimRun r = run({{"groups", {{"a", "b", "c"}, {"b", "a"}, {"a", "a"}, {"c"}, json::array()}}, {"other", 1}});

  EXPECT_EQ(r.status, 0);
  ASSERT_EQ(r.lines.size(), 4u);
  EXPECT_EQ(shapes(r.lines), (std::vector<json>{pair("a", "b"), pair("a", "c"), pair("b", "a"), pair("a", "a")}));
  const float ab = r.lines[0]["dist"].get<double>(), ac = r.lines[1]["dist"].get<double>();
  EXPECT_LT(ab, ac);  // a resized copy is nearer than a different picture
  EXPECT_EQ(r.lines[2]["dist"], r.lines[0]["dist"]);
  EXPECT_EQ(r.lines[3]["dist"], 0.0);
  // "dist" is a single-precision distance widened exactly.
  EXPECT_EQ(static_cast<double>(ab), r.lines[0]["dist"].get<double>());
  for (const char* id : {"a", "b", "c"}) {
    EXPECT_EQ(fake.requestCount(id), 1) << id;
    EXPECT_EQ(fake.lastNetworkAccess(id), false) << id;
  }
  EXPECT_EQ(fake.identifierFetches(), 1);
}

TEST_F(SimverifyTest, FailuresAreReportedOnceAndTheFailedIdentifierIsSkipped) {
  add("a", picture(testsupport::Pattern::kScene));
  add("b", picture(testsupport::Pattern::kStripes));
  add("junk", Bytes{'n', 'o', 'p', 'e'});
  SimRun r = run({{"groups",
                   {{"gone", "a", "b"}, {"a", "gone", "junk", "b"}, {"gone", "b"}, {"junk", "a"}, {"b", "junk"}}}});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(shapes(r.lines), (std::vector<json>{failure("gone", "not_found"), failure("junk", "featureprint_failed"),
                                                pair("a", "b")}));
  EXPECT_EQ(fake.requestCount("junk"), 1);
  EXPECT_EQ(fake.requestCount("b"), 1);  // not loaded for the group "gone" leads
}

TEST_F(SimverifyTest, LibraryResultsMapToCodesInOrder) {
  const Bytes good = picture(testsupport::Pattern::kScene);
  const std::vector<std::uint8_t> nothing;
  const testing::ScriptedResult cases[] = {
      {"cloud", &good, testing::resultInfo(true, false, true, true), "in_cloud"},
      {"degraded", &good, testing::resultInfo(false, false, true, true), "degraded_only"},
      {"error-with-data", &good, testing::resultInfo(false, false, false, true), "read_failed"},
      {"no-data", nullptr, std::nullopt, "no_data"},
      {"empty-data", &nothing, testing::resultInfo(false, false, false, false), "no_data"},
      {"silent", &good, std::nullopt, "no_result", /*callsHandler=*/false},
      {"cancelled-only", &good, testing::resultInfo(false, true, false, false), ""},  // no cancelled test in this mode
  };
  add("first", good);
  json group = json::array({"first"});
  for (const testing::ScriptedResult& c : cases) {
    fake.add(testing::scriptedEntry(c));
    group.push_back(c.id);
  }
  SimRun r = run({{"groups", json::array({group})}});
  ASSERT_EQ(r.lines.size(), std::size(cases));
  for (size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(cases[i].id);
    EXPECT_EQ(shape(r.lines[i]), cases[i].expected.empty() ? pair("first", cases[i].id)
                                                           : failure(cases[i].id, cases[i].expected));
  }
}

// A printer whose distances fail whenever the second print is of a chosen
// picture; prints come from the real printer.
class FailingDistance : public featureprint::FeaturePrinter {
 public:
  explicit FailingDistance(featureprint::FeaturePrint bad) : bad_(std::move(bad)) {}
  std::optional<featureprint::FeaturePrint> printFrom(std::span<const std::uint8_t> bytes) const override {
    return real_.printFrom(bytes);
  }
  std::optional<float> distance(const featureprint::FeaturePrint& a,
                                const featureprint::FeaturePrint& b) const override {
    if (b.values == bad_.values) return std::nullopt;
    return real_.distance(a, b);
  }

 private:
  const featureprint::FeaturePrinter& real_ = featureprint::defaultFeaturePrinter();
  featureprint::FeaturePrint bad_;
};

TEST_F(SimverifyTest, FailedDistanceIsReportedPerPairAndKeepsBothPrints) {
  const Bytes stripes = picture(testsupport::Pattern::kStripes);
  add("a", picture(testsupport::Pattern::kScene));
  add("b", stripes);
  add("c", picture(testsupport::Pattern::kGradient));
  FailingDistance printer(*featureprint::defaultFeaturePrinter().printFrom(stripes));
  SimRun r = runText(json{{"groups", {{"a", "b", "c"}, {"c", "b"}, {"b", "a"}}}}.dump(), {}, printer);
  EXPECT_EQ(shapes(r.lines), (std::vector<json>{failure("b", "distance_failed"), pair("a", "c"),
                                                failure("b", "distance_failed"), pair("b", "a")}));
  EXPECT_EQ(fake.requestCount("b"), 1);
}

TEST_F(SimverifyTest, DeadlineStopsBeforeANewPrintButNotWorkFromTheCache) {
  add("a", picture(testsupport::Pattern::kScene));
  add("b", picture(testsupport::Pattern::kStripes));
  add("c", picture(testsupport::Pattern::kGradient));
  testing::HookedLibrary hooked(fake);
  library_ = &hooked;
  settings.deadline = clock.now() + std::chrono::seconds(10);
  // Loading b takes the run past its deadline.
  hooked.onRequest("b", [&] { clock.advance(timing::Seconds(11)); });
  SimRun r = run({{"groups", {{"a", "b"}, {"b", "a"}, {"a", "c", "b"}, {"a", "b"}}}});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(shapes(r.lines), (std::vector<json>{pair("a", "b"), pair("b", "a"), json{{"stop", "deadline"}}}));
  EXPECT_EQ(fake.requestCount("c"), 0);
}

TEST_F(SimverifyTest, DeadlinePassedBeforeTheFirstPrintGivesOnlyTheStopRecord) {
  add("a", picture(testsupport::Pattern::kScene));
  settings.deadline = clock.now() - std::chrono::seconds(1);
  SimRun r = run({{"groups", {{"a"}, {"a", "a"}}}});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.lines, (std::vector<json>{{{"stop", "deadline"}}}));
  EXPECT_EQ(fake.requestCount("a"), 0);
}

TEST_F(SimverifyTest, UnusableDocumentsAreFatal) {
  const std::vector<std::string> inputs = {
      "", "   ", "not json", "[]", "null", "\"groups\"", "{}", "{\"group\":[]}", "{\"groups\":{}}",
      "{\"groups\":5}", "{\"groups\":[1]}", "{\"groups\":[[\"a\",2]]}", "{\"groups\":[[\"a\"],\"b\"]}",
      "{\"groups\":[[\"a\",null]]}", "{\"groups\":[[\"a\"]]} trailing", "{\"groups\":[[\"\xff\"]]}",
      "{\"groups\":[" + std::string(100000, '[') + std::string(100000, ']') + "]}"};
  for (const std::string& input : inputs) {
    SCOPED_TRACE(input.substr(0, 40));
    SimRun r = runText(input);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.lines, (std::vector<json>{{{"fatal", "bad_input"}}}));
  }
  EXPECT_EQ(fake.identifierFetches(), 0);
}

TEST_F(SimverifyTest, EmptyGroupsAreUsableAndSilent) {
  for (const char* input : {"{\"groups\":[]}", "{\"groups\":[[],[\"a\"]],\"x\":{}}"}) {
    SimRun r = runText(input);
    EXPECT_EQ(r.status, 0) << input;
    EXPECT_TRUE(r.lines.empty()) << input;
  }
  EXPECT_EQ(fake.requestCount("a"), 0);
}

TEST_F(SimverifyTest, RefusedAccessEndsBeforeTheInputIsRead) {
  fake.setAuthorization({photolibrary::AuthorizationStatus::kRestricted, true});
  SimRun r = runText("not json");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.lines, (std::vector<json>{{{"auth", "restricted"}}}));
}

TEST_F(SimverifyTest, FilesAreReadByPathWithoutAskingTheLibrary) {
  testsupport::TempDir dir;
  const std::string a = dir.path() + "/a.jpg", b = dir.path() + "/b.png", empty = dir.path() + "/empty.jpg",
                    fifo = dir.path() + "/fifo.jpg", text = dir.path() + "/notes.jpg";
  testsupport::Picture look;
  ASSERT_TRUE(testsupport::writeImage(a, look));
  ASSERT_TRUE(testsupport::writeImage(b, look));
  ASSERT_TRUE(testsupport::writeBytes(empty, std::string()));
  ASSERT_TRUE(testsupport::writeBytes(text, std::string("plain text")));
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const std::string withZero = a + std::string(1, '\0') + "x";
  fake.setAuthorization({photolibrary::AuthorizationStatus::kDenied, true});  // must not be asked

  SimRun r = run({{"groups",
                   {{a, b, empty, dir.path() + "/missing.jpg", dir.path(), fifo, text, withZero, a}, {empty, a}}}},
                 {"--files"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(shapes(r.lines),
            (std::vector<json>{pair(a, b), failure(empty, "read_failed"), failure(dir.path() + "/missing.jpg", "read_failed"),
                               failure(dir.path(), "read_failed"), failure(fifo, "read_failed"),
                               failure(text, "featureprint_failed"), failure(withZero, "read_failed"), pair(a, a)}));
  EXPECT_EQ(fake.authorizationRequests(), 0);
  EXPECT_EQ(fake.identifierFetches(), 0);
}

}  // namespace
}  // namespace albumsweep
