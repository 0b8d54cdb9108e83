#include "thermwatch/survey.h"

#include <fcntl.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>

#include <gtest/gtest.h>

#include "testsupport/images.h"

namespace thermwatch {
namespace {

using nlohmann::json;

// A reader that lists scripted keys; keys without a value print a line the
// way the real client does, so tests can see whether it was suppressed.
class FakeReader : public SensorReader {
 public:
  std::vector<std::pair<std::string, std::optional<double>>> keys;
  std::vector<std::string> getAllKeys() override {
    std::vector<std::string> names;
    for (const auto& [key, value] : keys) names.push_back(key);
    return names;
  }
  std::optional<double> getValue(const std::string& key) override {
    for (const auto& [k, value] : keys)
      if (k == key) {
        if (!value) std::printf("Error read(%s): fake\n", key.c_str());
        return value;
      }
    return std::nullopt;
  }
};

std::chrono::system_clock::time_point fixedTime() {
  return std::chrono::system_clock::from_time_t(1714564800) + std::chrono::milliseconds(999);  // 2024-05-01T12:00:00.999Z
}

// Runs `report` with `out` captured in memory.
std::pair<int, std::string> reportOf(SensorReader& reader, const DescriptorOps& ops = {}) {
  char* buffer = nullptr;
  size_t size = 0;
  FILE* out = open_memstream(&buffer, &size);
  int status = report(reader, out, fixedTime, ops);
  std::fclose(out);
  std::string text(buffer, size);
  std::free(buffer);
  return {status, text};
}

TEST(Categorize, FirstCharacterAndFanEndings) {
  struct Case {
    std::string key, kind, unit;
  } cases[] = {
      {"TC0P", "temperature", "\xC2\xB0" "C"}, {"TaTg", "temperature", "\xC2\xB0" "C"},
      {"VP0R", "voltage", "V"},  {"PSTR", "power", "W"},     {"IC0R", "current", "A"},
      {"F0Ac", "fan", "RPM"},    {"F1Mn", "fan", "RPM"},     {"F2Mx", "fan", "RPM"},
      {"F3Tg", "fan", "RPM"},    {"FS! ", "fan", ""},        {"F0Md", "fan", ""},
      {"F0Ac ", "fan", ""},  // endings look at the untrimmed key
      {"tC0P", "other", ""},     {"#KEY", "other", ""},      {"0ABC", "other", ""},
      {"", "other", ""},         {" TC0", "other", ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(categorize(c.key), std::make_pair(c.kind, c.unit)) << c.key;
  }
}

TEST(CollectSensors, KeepsOrderTrimsAndDropsMissingAndNonFiniteValues) {
  FakeReader reader;
  reader.keys = {{"TC0P", 41.5},
                 {"FS! ", 0.0},
                 {"TBAD", std::nullopt},
                 {"TNAN", std::numeric_limits<double>::quiet_NaN()},
                 {"TINF", std::numeric_limits<double>::infinity()},
                 {"\t#KEY\xC2\xA0", 12.0},
                 {"F0Ac", 1200.0}};
  auto sensors = withSuppressedStdout([&] { return collectSensors(reader); });
  ASSERT_EQ(sensors.size(), 4u);
  EXPECT_EQ(sensors[0].key, "TC0P");
  EXPECT_EQ(sensors[1].key, "FS!");
  EXPECT_EQ(sensors[1].kind, "fan");
  EXPECT_EQ(sensors[1].unit, "");
  EXPECT_EQ(sensors[2].key, "#KEY");
  EXPECT_EQ(sensors[2].kind, "other");  // categorized before trimming
  EXPECT_EQ(sensors[3].key, "F0Ac");
  EXPECT_EQ(sensors[3].value, 1200.0);
  EXPECT_EQ(countByKind(sensors), (std::map<std::string, int64_t>{{"fan", 2}, {"other", 1}, {"temperature", 1}}));
}

TEST(Report, PrintsSortedPrettyDocument) {
  FakeReader reader;
  reader.keys = {{"F0Ac", 1200.0}, {"TC0P", 41.5}, {"F1Ac", 900.0}, {"TNAN", NAN}, {"TBAD", std::nullopt}};
  auto [status, text] = reportOf(reader);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(text,
            "{\n"
            "  \"counts_by_kind\": {\n"
            "    \"fan\": 2,\n"
            "    \"temperature\": 1\n"
            "  },\n"
            "  \"generated_at\": \"2024-05-01T12:00:00Z\",\n"
            "  \"ok\": true,\n"
            "  \"sensors\": [\n"
            "    {\n"
            "      \"key\": \"F0Ac\",\n"
            "      \"kind\": \"fan\",\n"
            "      \"unit\": \"RPM\",\n"
            "      \"value\": 1200.0\n"
            "    },\n"
            "    {\n"
            "      \"key\": \"TC0P\",\n"
            "      \"kind\": \"temperature\",\n"
            "      \"unit\": \"\xC2\xB0" "C\",\n"
            "      \"value\": 41.5\n"
            "    },\n"
            "    {\n"
            "      \"key\": \"F1Ac\",\n"
            "      \"kind\": \"fan\",\n"
            "      \"unit\": \"RPM\",\n"
            "      \"value\": 900.0\n"
            "    }\n"
            "  ]\n"
            "}\n");
  Output back = json::parse(text).get<Output>();
  EXPECT_EQ(back.sensors.size(), 3u);
  EXPECT_EQ(back.counts_by_kind.at("fan"), 2);
}

TEST(Report, EmptySurveyStillHasAllFourKeys) {
  FakeReader reader;
  auto [status, text] = reportOf(reader);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(text,
            "{\n  \"counts_by_kind\": {},\n  \"generated_at\": \"2024-05-01T12:00:00Z\",\n"
            "  \"ok\": true,\n  \"sensors\": []\n}\n");
}

TEST(Report, UnencodableDocumentGivesTheFailureLine) {
  FakeReader reader;
  reader.keys = {{"TC0P", 41.5}, {"T\xFF\xFE", 1.0}};  // not UTF-8
  auto [status, text] = reportOf(reader);
  EXPECT_EQ(status, 1);
  EXPECT_EQ(text, "{\"ok\":false,\"error\":\"failed to encode sensor output\"}\n");
  EXPECT_EQ(text.size(), 54u);

  Output output;
  output.sensors.push_back({"TC0P", "temperature", NAN, "\xC2\xB0" "C"});
  EXPECT_EQ(encodeOutput(output), std::nullopt);
}

TEST(ReadBack, EveryKeyIsRequired) {
  json sensor = {{"key", "TC0P"}, {"kind", "temperature"}, {"unit", "V"}, {"value", 1.5}};
  EXPECT_EQ(sensor.get<Sensor>().value, 1.5);
  for (const char* missing : {"key", "kind", "unit", "value"}) {
    json partial = sensor;
    partial.erase(missing);
    EXPECT_THROW(partial.get<Sensor>(), json::exception) << missing;
  }
  json output = {{"ok", true}, {"generated_at", "x"}, {"counts_by_kind", json::object()}, {"sensors", json::array()}};
  EXPECT_NO_THROW(output.get<Output>());
  for (const char* missing : {"ok", "generated_at", "counts_by_kind", "sensors"}) {
    json partial = output;
    partial.erase(missing);
    EXPECT_THROW(partial.get<Output>(), json::exception) << missing;
  }
}

TEST(IsoTimestamp, ZeroPaddedUtcWholeSeconds) {
  EXPECT_EQ(isoTimestamp(std::chrono::system_clock::from_time_t(0)), "1970-01-01T00:00:00Z");
  EXPECT_EQ(isoTimestamp(std::chrono::system_clock::from_time_t(946684799) + std::chrono::milliseconds(500)),
            "1999-12-31T23:59:59Z");
}

// Points descriptor 1 at a fresh temporary file for the test's duration and
// gives back what was written to it.
class CapturedStdout {
 public:
  CapturedStdout() {
    std::fflush(stdout);
    char name[] = "/tmp/thermwatch-stdout-XXXXXX";
    fd_ = mkstemp(name);
    path_ = name;
    saved_ = dup(STDOUT_FILENO);
    dup2(fd_, STDOUT_FILENO);
  }
  std::string finish() {
    std::fflush(stdout);
    dup2(saved_, STDOUT_FILENO);
    close(saved_);
    close(fd_);
    std::ifstream in(path_);
    std::stringstream text;
    text << in.rdbuf();
    unlink(path_.c_str());
    return text.str();
  }

 private:
  int fd_, saved_;
  std::string path_;
};

TEST(WithSuppressedStdout, SilencesTheWorkOnlyAndGivesItsResult) {
  CapturedStdout captured;
  std::printf("before\n");
  int result = withSuppressedStdout([] {
    std::printf("hidden\n");
    return 7;
  });
  std::printf("after\n");
  EXPECT_EQ(captured.finish(), "before\nafter\n");
  EXPECT_EQ(result, 7);
}

TEST(WithSuppressedStdout, NothingRedirectedWhenDescriptorOneCannotBeDuplicated) {
  DescriptorOps ops;
  std::vector<std::pair<int, int>> dup2Calls;
  int opens = 0;
  ops.dup = [](int) {
    errno = EMFILE;
    return -1;
  };
  auto realOpen = ops.openForWriting;
  ops.openForWriting = [&](const char* path) {
    ++opens;
    return realOpen(path);
  };
  auto realDup2 = ops.dup2;
  ops.dup2 = [&](int from, int to) {
    dup2Calls.emplace_back(from, to);
    return realDup2(from, to);
  };
  CapturedStdout captured;
  withSuppressedStdout([] { std::printf("visible\n"); }, ops);
  std::printf("document\n");
  EXPECT_EQ(captured.finish(), "visible\ndocument\n");
  EXPECT_TRUE(dup2Calls.empty());
  EXPECT_EQ(opens, 0);
}

TEST(WithSuppressedStdout, NothingSilencedWhenDevNullCannotBeOpened) {
  DescriptorOps ops;
  int closes = 0;
  ops.openForWriting = [](const char*) {
    errno = ENOENT;
    return -1;
  };
  auto realClose = ops.close;
  ops.close = [&](int fd) {
    ++closes;
    return realClose(fd);
  };
  CapturedStdout captured;
  withSuppressedStdout([] { std::printf("visible\n"); }, ops);
  EXPECT_EQ(captured.finish(), "visible\n");
  EXPECT_EQ(closes, 1);  // the duplicate is closed again
}

TEST(Report, ClientLinesDuringTheSurveyAreSuppressed) {
  FakeReader reader;
  reader.keys = {{"TBAD", std::nullopt}, {"TC0P", 41.5}};
  CapturedStdout captured;
  auto [status, text] = reportOf(reader);
  EXPECT_EQ(captured.finish(), "");
  EXPECT_EQ(status, 0);
  EXPECT_EQ(json::parse(text)["sensors"].size(), 1u);
}

// The survey through the real client and the hwmon port over a fake tree.
TEST(SurveyOverHwmon, ListsReadableSensorsWithKindsAndUnits) {
  testsupport::TempDir dir;
  const std::string& root = dir.path();
  auto put = [&](const std::string& path, const std::string& content) {
    std::filesystem::create_directories(std::filesystem::path(root + "/" + path).parent_path());
    std::ofstream(root + "/" + path) << content;
  };
  put("hwmon0/name", "k10temp\n");
  put("hwmon0/temp1_input", "41500\n");
  put("hwmon0/temp2_input", "\n");  // unreadable value: left out
  put("hwmon0/fan1_input", "0\n");  // a stopped fan reads 0.0 as a float: all zero bytes, no value
  put("hwmon0/fan2_input", "900\n");
  put("hwmon0/fan2_max", "2000\n");

  char* buffer = nullptr;
  size_t size = 0;
  FILE* lines = open_memstream(&buffer, &size);  // the client's failure lines
  auto [status, text] = [&] {
    SMC smc([&] { return controllers::openSMCPort({root + "/none", root}); }, lines);
    return reportOf(smc);
  }();  // the client is gone before its output closes
  std::fclose(lines);
  std::free(buffer);
  EXPECT_EQ(status, 0);
  json doc = json::parse(text);

  EXPECT_EQ(doc["counts_by_kind"], json({{"fan", 3}, {"other", 1}, {"temperature", 1}}));
  std::vector<std::string> keys;
  for (const auto& sensor : doc["sensors"]) keys.push_back(sensor["key"]);
  EXPECT_EQ(keys, (std::vector<std::string>{"#KEY", "FNum", "T001", "F1Ac", "F1Mx"}));
  EXPECT_EQ(doc["sensors"][2], json({{"key", "T001"}, {"kind", "temperature"}, {"unit", "\xC2\xB0" "C"}, {"value", 41.5}}));
  EXPECT_EQ(doc["sensors"][4]["unit"], "RPM");
  EXPECT_EQ(doc["sensors"][4]["value"], 2000.0);
}

}  // namespace
}  // namespace thermwatch
