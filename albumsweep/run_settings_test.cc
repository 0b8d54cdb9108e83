#include "albumsweep/run_settings.h"

#include <cmath>
#include <limits>

#include <gtest/gtest.h>

namespace albumsweep {
namespace {

using std::chrono::seconds;

const timing::WallTime kStart = timing::WallTime{} + std::chrono::hours(24 * 365 * 55);

RunSettings parse(std::vector<std::string> rest) {
  rest.insert(rest.begin(), "/usr/bin/albumsweep");
  return parseRunSettings(rest, kStart);
}

TEST(RunSettingsTest, DefaultsWithoutArguments) {
  RunSettings s = parse({});
  EXPECT_EQ(s.mode, "scan");
  EXPECT_EQ(s.maxAssets, 20000);
  EXPECT_EQ(s.deadlineSeconds, 240.0);
  ASSERT_TRUE(s.deadline);
  EXPECT_EQ(*s.deadline, kStart + seconds(240));
  EXPECT_FALSE(s.allowCloudFetch);
  EXPECT_EQ(s.args.size(), 1u);
}

TEST(RunSettingsTest, EmptyArgumentListIsAScan) {
  RunSettings s = parseRunSettings({}, kStart);
  EXPECT_EQ(s.mode, "scan");
  EXPECT_EQ(s.maxAssets, 20000);
}

TEST(RunSettingsTest, ModeWord) {
  struct Case {
    std::vector<std::string> args;
    std::string mode;
  } cases[] = {
      {{"--max", "5"}, "scan"},
      {{"thumb"}, "thumb"},
      {{"simverify", "--files"}, "simverify"},
      {{"Thumb"}, "Thumb"},  // not "thumb": dispatch scans
      {{"whatever", "thumb"}, "whatever"},
      {{""}, ""},
      {{"-x"}, "-x"},
      {{"--"}, "scan"},
  };
  for (const auto& c : cases) EXPECT_EQ(parse(c.args).mode, c.mode) << c.args[0];
}

TEST(RunSettingsTest, MaxValues) {
  struct Case {
    std::vector<std::string> args;
    std::int64_t max;
  } cases[] = {
      {{"--max", "5"}, 5},
      {{"--max", "+5"}, 5},
      {{"--max", "0"}, 1},
      {{"--max", "-3"}, 1},
      {{"--max", "-9223372036854775808"}, 1},
      {{"--max", "9223372036854775807"}, 9223372036854775807},
      {{"--max", "9223372036854775808"}, 20000},  // beyond the range
      {{"--max", "12abc"}, 20000},
      {{"--max", "3.5"}, 20000},
      {{"--max", ""}, 20000},
      {{"--max", "+"}, 20000},
      {{"--max", "-"}, 20000},
      {{"--max", " 5"}, 20000},
      {{"--max", "5 "}, 20000},
      {{"--max", "0x10"}, 20000},
      {{"--max"}, 20000},  // last token
      {{"--max", "5", "--max", "x"}, 5},
      {{"--max", "5", "--max", "7"}, 7},
      {{"thumb", "--max", "5", "--allow-cloud"}, 5},
      {{"--MAX", "5"}, 20000},
  };
  for (const auto& c : cases) {
    std::string shown;
    for (const auto& a : c.args) shown += "[" + a + "]";
    EXPECT_EQ(parse(c.args).maxAssets, c.max) << shown;
  }
}

TEST(RunSettingsTest, DeadlineValues) {
  struct Case {
    std::string token;
    double seconds;  // expected deadlineSeconds
  } cases[] = {
      {"30", 30.0},     {"0.25", 1.0},  {"1e2", 100.0},    {"0x10", 16.0}, {"+7.5", 7.5},
      {"-5", 1.0},      {"nan", 1.0},   {"NaN", 1.0},      {"-inf", 1.0},  {".5e1", 5.0},
      {"30s", 240.0},   {" 30", 240.0}, {"\t30", 240.0},   {"", 240.0},    {"30 ", 240.0},
      {"1,5", 240.0},   {"e5", 240.0},  {"--max", 240.0},  {"1e-999", 1.0},
  };
  for (const auto& c : cases) {
    RunSettings s = parse({"--deadline", c.token});
    EXPECT_EQ(s.deadlineSeconds, c.seconds) << "[" << c.token << "]";
    ASSERT_TRUE(s.deadline) << c.token;
    EXPECT_EQ(*s.deadline, kStart + std::chrono::duration_cast<timing::WallTime::duration>(timing::Seconds(c.seconds)))
        << c.token;
  }
}

TEST(RunSettingsTest, DeadlineTooFarForTheClockNeverPasses) {
  for (std::string token : {"inf", "INFINITY", "+inf", "1e999", "1e300", "1e12"}) {
    RunSettings s = parse({"--deadline", token});
    EXPECT_FALSE(s.deadline) << token;
    EXPECT_FALSE(deadlinePassed(s, timing::WallTime::max())) << token;
  }
  // A long but representable deadline still counts.
  RunSettings year = parse({"--deadline", "31536000"});
  ASSERT_TRUE(year.deadline);
  EXPECT_TRUE(deadlinePassed(year, kStart + std::chrono::hours(24 * 366)));
}

TEST(RunSettingsTest, ValueTokensAreNotConsumed) {
  // "--max" finds no integer after it; "--deadline" still takes its 30.
  RunSettings s = parse({"--max", "--deadline", "30"});
  EXPECT_EQ(s.maxAssets, 20000);
  EXPECT_EQ(s.deadlineSeconds, 30.0);

  RunSettings c = parse({"--max", "--allow-cloud"});
  EXPECT_EQ(c.maxAssets, 20000);
  EXPECT_TRUE(c.allowCloudFetch);

  // The program path and the mode word are examined too.
  RunSettings p = parseRunSettings({"--allow-cloud"}, kStart);
  EXPECT_TRUE(p.allowCloudFetch);
}

TEST(RunSettingsTest, OnlyACloudScanMayUseTheNetwork) {
  EXPECT_TRUE(networkAccessAllowed(parse({"scan", "--allow-cloud"})));
  EXPECT_TRUE(networkAccessAllowed(parse({"--allow-cloud"})));
  EXPECT_FALSE(networkAccessAllowed(parse({"scan"})));
  EXPECT_FALSE(networkAccessAllowed(parse({"thumb", "--allow-cloud"})));
  EXPECT_FALSE(networkAccessAllowed(parse({"simverify", "--allow-cloud"})));
}

TEST(RunSettingsTest, DeadlinePassedIsStrict) {
  RunSettings s = parse({"--deadline", "10"});
  EXPECT_FALSE(deadlinePassed(s, kStart + seconds(10)));
  EXPECT_TRUE(deadlinePassed(s, kStart + seconds(10) + std::chrono::microseconds(1)));
}

TEST(Int64FromStringTest, RejectsEmbeddedNul) {
  EXPECT_FALSE(int64FromString(std::string("5\0" "1", 3)));
  EXPECT_FALSE(secondsFromString(std::string("5\0" "1", 3)));
}

}  // namespace
}  // namespace albumsweep
