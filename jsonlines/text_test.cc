#include "jsonlines/text.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "jsonlines/emit.h"

#include <string>
#include <vector>

namespace jsonlines {
namespace {

using namespace std::string_literals;


TEST(ValidUtf8, KeepsValidAndReplacesEachIllFormedPiece) {
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
    EXPECT_TRUE(serialize({{"name", got}})) << c.in;  // always writable
  }
}

TEST(ZeroSeparatedList, SplitsAtZeroBytesDroppingEmptyAndInvalidPieces) {
  struct Case {
    const char* name;
    std::string input;
    std::vector<std::string> paths;
  };
  const Case cases[] = {
      {"empty", "", {}},
      {"only zeros", "\0\0\0"s, {}},
      {"double zero then single", "a.jpg\0\0b.jpg\0"s, {"a.jpg", "b.jpg"}},
      {"leading zero, no trailing", "\0a\0b"s, {"a", "b"}},
      {"newlines are path characters", "a.jpg\nb.jpg\n", {"a.jpg\nb.jpg\n"}},
      {"spaces kept", " a b \0\t\0"s, {" a b ", "\t"}},
      {"invalid piece takes no index", "x\0\xff\xfe\0y"s, {"x", "y"}},
      {"multibyte kept", "caf\xc3\xa9.jpg\0\xf0\x9f\x93\xb7"s, {"caf\xc3\xa9.jpg", "\xf0\x9f\x93\xb7"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(zeroSeparatedList(c.input), c.paths);
  }
}

TEST(IsValidUtf8, AcceptsWellFormedRejectsIllFormed) {
  for (const std::string& good : {""s, "ascii"s, "\xc2\x80"s, "\xe2\x82\xac"s, "\xed\x9f\xbf"s, "\xf4\x8f\xbf\xbf"s})
    EXPECT_TRUE(isValidUtf8(good)) << good;
  const std::string bad[] = {
      "\x80"s,              // lone continuation
      "\xc0\xaf"s,          // overlong '/'
      "\xe0\x80\xaf"s,      // overlong, 3 bytes
      "\xf0\x80\x80\xaf"s,  // overlong, 4 bytes
      "\xed\xa0\x80"s,      // surrogate
      "\xf4\x90\x80\x80"s,  // above U+10FFFF
      "\xe2\x82"s,          // cut short
      "\xe2\x28\xa1"s,      // bad continuation
      "\xff"s,
  };
  for (const std::string& b : bad) EXPECT_FALSE(isValidUtf8(b));
}

TEST(ReadAll, NonBlockingPipeIsReadToItsEnd) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  ASSERT_EQ(fcntl(fds[0], F_SETFL, fcntl(fds[0], F_GETFL) | O_NONBLOCK), 0);
  // The writer pauses between its two pieces, so the reader finds the pipe
  // empty but still open in between.
  pid_t writer = fork();
  ASSERT_GE(writer, 0);
  if (writer == 0) {
    close(fds[0]);
    bool ok = write(fds[1], "a.jpg\0", 6) == 6;
    usleep(200 * 1000);
    ok = ok && write(fds[1], "b.jpg\0", 6) == 6;
    _exit(ok ? 0 : 1);
  }
  close(fds[1]);
  EXPECT_EQ(readAll(fds[0]), "a.jpg\0b.jpg\0"s);
  close(fds[0]);
  int status = 0;
  ASSERT_EQ(waitpid(writer, &status, 0), writer);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

}  // namespace
}  // namespace jsonlines
