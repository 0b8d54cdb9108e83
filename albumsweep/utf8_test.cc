#include "albumsweep/utf8.h"

#include <gtest/gtest.h>

#include "jsonlines/emit.h"

namespace albumsweep {
namespace {

TEST(ValidUtf8Test, KeepsValidAndReplacesEachIllFormedPiece) {
  const std::string R = "\xEF\xBF\xBD";
  struct Case {
    std::string in, out;
  } cases[] = {
      {"", ""},
      {"IMG_0001.JPG", "IMG_0001.JPG"},
      {"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x93\xB7", "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x93\xB7"},
      {"a\xFF" "b", "a" + R + "b"},                    // Latin-1 byte
      {"caf\xE9.jpg", "caf" + R + ".jpg"},
      {"\x80\x80", R + R},                             // stray continuation bytes
      {"\xE2\x82" "A", R + "A"},                       // cut-off sequence: one replacement
      {"\xE2\x82", R},                                 // cut off at the end
      {"\xC0\xAF", R + R},                             // overlong "/"
      {"\xE0\x80\xAF", R + R + R},                     // overlong, three bytes
      {"\xED\xA0\x80", R + R + R},                     // surrogate
      {"\xF4\x90\x80\x80", R + R + R + R},             // above U+10FFFF
      {"\xF0\x9F\x93", R},                             // four-byte form cut off
      {std::string("a\0b", 3), std::string("a\0b", 3)},
  };
  for (const auto& c : cases) {
    std::string got = validUtf8(c.in);
    EXPECT_EQ(got, c.out) << c.in;
    EXPECT_TRUE(jsonlines::serialize({{"name", got}})) << c.in;  // always writable
  }
}

}  // namespace
}  // namespace albumsweep
