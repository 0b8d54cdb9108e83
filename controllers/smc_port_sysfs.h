// Small sysfs file helpers shared by the real controller ports. Every
// function gives 0 or the errno value of the first failing system call.
#pragma once

#include <cstdint>
#include <map>
#include <string>

namespace controllers::sysfs {

// Reads at most `limit` bytes of the file at `path` into `out`.
int32_t readFile(const std::string& path, std::string& out, size_t limit = 256);

// Writes `text` to the file at `path` in one write.
int32_t writeFile(const std::string& path, const std::string& text);

// Parses a decimal integer (optional minus sign) written as sysfs writes it:
// digits, then optionally a newline or other trailing white space. Anything
// else, or an empty text, is EINVAL; a value outside 64 bits is ERANGE.
int32_t parseInteger(std::string text, int64_t& value);

// The longest integer file that is read and parsed: a sysfs attribute is at
// most a page.
inline constexpr size_t kIntegerFileLimit = 4096;

// Parses the text of an integer file read with a limit of
// kIntegerFileLimit + 1 bytes. A text longer than kIntegerFileLimit is a
// file that was not read whole: EFBIG, never a number taken from its prefix.
int32_t parseIntegerFile(std::string text, int64_t& value);

// Reads the whole file at `path` (at most kIntegerFileLimit bytes) and
// parses it as above.
int32_t readInteger(const std::string& path, int64_t& value);

// `text` without one trailing newline, if it has one.
std::string withoutNewline(std::string text);

// The file access of a port that keeps state in the driver (applesmc selects
// a key by a write); tests replace it to emulate the driver over a fake tree.
class Files {
 public:
  Files() = default;
  Files(const Files&) = delete;
  Files& operator=(const Files&) = delete;
  virtual ~Files();
  virtual int32_t read(const std::string& path, std::string& out, size_t limit) { return readFile(path, out, limit); }
  // Writes through the descriptor kept for `path`, if there is one.
  virtual int32_t write(const std::string& path, const std::string& text);
  // Opens `path` for writing now and keeps it open for the writes to come,
  // so they still work once the process has locked itself down (no more
  // opening files for writing). Gives 0 or the opening's errno.
  int32_t keepOpenForWriting(const std::string& path);

 private:
  std::map<std::string, int> kept_;
};

}  // namespace controllers::sysfs
