// Runs the built thermwatch on this machine's real controller ports.
#include <set>

#include <gtest/gtest.h>

#include "testsupport/subprocess.h"

namespace {

using nlohmann::json;

TEST(ThermwatchProgram, PrintsOneDocumentWithTheRequiredKeysAndExitsZero) {
  auto result = testsupport::runProcess({THERMWATCH_BIN});
  ASSERT_FALSE(result.timedOut);
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_EQ(result.err, "");
  ASSERT_FALSE(result.out.empty());
  ASSERT_EQ(result.out.back(), '\n');

  // Without a controller the client's opening line comes first.
  std::string document = result.out;
  if (document.rfind("Error ", 0) == 0) document = document.substr(document.find('\n') + 1);
  ASSERT_EQ(document.front(), '{') << result.out;
  json doc = json::parse(document);  // throws, failing the test, unless it is exactly one JSON value

  std::set<std::string> keys;
  for (const auto& [key, value] : doc.items()) keys.insert(key);
  EXPECT_EQ(keys, (std::set<std::string>{"counts_by_kind", "generated_at", "ok", "sensors"}));
  EXPECT_EQ(doc["ok"], true);
  EXPECT_TRUE(doc["counts_by_kind"].is_object());
  EXPECT_TRUE(doc["sensors"].is_array());
  EXPECT_EQ(doc["generated_at"].get<std::string>().size(), 20u);
  int64_t counted = 0;
  for (const auto& [kind, count] : doc["counts_by_kind"].items()) counted += count.get<int64_t>();
  EXPECT_EQ(counted, static_cast<int64_t>(doc["sensors"].size()));
  for (const auto& sensor : doc["sensors"]) {
    std::set<std::string> sensorKeys;
    for (const auto& [key, value] : sensor.items()) sensorKeys.insert(key);
    EXPECT_EQ(sensorKeys, (std::set<std::string>{"key", "kind", "unit", "value"}));
    EXPECT_TRUE(sensor["value"].is_number());
  }
  // Pretty-printed: one member per line.
  EXPECT_NE(document.find("\n  \"generated_at\": "), std::string::npos);
}

TEST(ThermwatchProgram, CreatesNoFile) { testsupport::expectCreatesNoFile({THERMWATCH_BIN}); }

TEST(ThermwatchProgram, OutputThatCannotBeWrittenEndsWithStatusOne) {
  testsupport::expectUnwritableOutputEndsWithStatusOne({THERMWATCH_BIN});
}

}  // namespace
