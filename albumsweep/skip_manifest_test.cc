#include "albumsweep/skip_manifest.h"

#include <map>

#include <gtest/gtest.h>

namespace albumsweep {
namespace {

using Entries = std::map<std::string, std::pair<std::int64_t, std::int64_t>>;

Entries entriesOf(const SkipManifest& m) {
  Entries out;
  for (const auto& [id, mod] : m.skipMod) out[id] = {mod, m.skipSize.at(id)};
  EXPECT_EQ(m.skipMod.size(), m.skipSize.size());
  return out;
}

TEST(SkipManifestTest, Documents) {
  struct Case {
    const char* what;
    std::string input;
    Entries expected;
  } cases[] = {
      {"empty input", "", {}},
      {"invalid JSON", "{\"skip\": [", {}},
      {"top-level array", R"([{"id":"a","mod":1,"size":2}])", {}},
      {"no skip key", R"({"other":1})", {}},
      {"skip not an array", R"({"skip":{"id":"a","mod":1,"size":2}})", {}},
      {"one element not an object spoils all", R"({"skip":[{"id":"a","mod":1,"size":2},5]})", {}},
      {"plain entries",
       R"({"skip":[{"id":"a","mod":1,"size":2},{"id":"b/c.jpg","mod":-5,"size":0,"extra":"x"}],"v":2})",
       {{"a", {1, 2}}, {"b/c.jpg", {-5, 0}}}},
      {"later entry for the same id wins",
       R"({"skip":[{"id":"a","mod":1,"size":2},{"id":"a","mod":3,"size":4}]})", {{"a", {3, 4}}}},
      {"mod as a string is skipped alone",
       R"({"skip":[{"id":"a","mod":"1","size":2},{"id":"b","mod":1,"size":2}]})", {{"b", {1, 2}}}},
      {"fraction, missing key, non-string id",
       R"({"skip":[{"id":"a","mod":1.5,"size":2},{"id":"b","size":2},{"id":7,"mod":1,"size":2}]})", {}},
      {"whole floats count as integers", R"({"skip":[{"id":"a","mod":1.7e12,"size":2.0}]})",
       {{"a", {1700000000000, 2}}}},
      {"64-bit range edges",
       R"({"skip":[{"id":"a","mod":9223372036854775807,"size":-9223372036854775808},
                   {"id":"b","mod":9223372036854775808,"size":1},{"id":"c","mod":1,"size":1e19}]})",
       {{"a", {INT64_MAX, INT64_MIN}}}},
      {"booleans and nulls are not integers",
       R"({"skip":[{"id":"a","mod":true,"size":1},{"id":"b","mod":1,"size":null}]})", {}},
      {"invalid UTF-8 in the document", "{\"skip\":[{\"id\":\"\xff\",\"mod\":1,\"size\":2}]}", {}},
      {"trailing garbage", R"({"skip":[{"id":"a","mod":1,"size":2}]} x)", {}},
  };
  for (const auto& c : cases) EXPECT_EQ(entriesOf(readSkipManifest(c.input)), c.expected) << c.what;
}

TEST(SkipManifestTest, MatchesNeedsBothModAndSize) {
  SkipManifest m = readSkipManifest(R"({"skip":[{"id":"a","mod":10,"size":20}]})");
  EXPECT_TRUE(m.matches("a", 10, 20));
  EXPECT_FALSE(m.matches("a", 10, 21));
  EXPECT_FALSE(m.matches("a", 11, 20));
  EXPECT_FALSE(m.matches("b", 10, 20));
}

}  // namespace
}  // namespace albumsweep
