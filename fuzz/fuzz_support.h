// Small helpers of the fuzz harnesses: splitting an input into fields, and
// capturing what a mode writes so that its lines can be checked.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace fuzz {

// The input split at every zero byte (empty fields kept).
inline std::vector<std::string> splitAtZero(std::string_view input) {
  std::vector<std::string> fields;
  std::size_t start = 0;
  while (true) {
    std::size_t zero = input.find('\0', start);
    if (zero == std::string_view::npos) {
      fields.emplace_back(input.substr(start));
      return fields;
    }
    fields.emplace_back(input.substr(start, zero - start));
    start = zero + 1;
  }
}

// Path components joined with "/".
inline std::string joinedPath(const std::vector<std::string>& parts) {
  std::string path;
  for (const std::string& p : parts) path += (path.empty() ? "" : "/") + p;
  return path;
}

// A FILE* whose bytes end up in a string once closed.
class Capture {
 public:
  Capture() : file_(open_memstream(&buffer_, &size_)) {}
  ~Capture() {
    if (file_) std::fclose(file_);
    std::free(buffer_);
  }
  Capture(const Capture&) = delete;
  Capture& operator=(const Capture&) = delete;

  std::FILE* file() { return file_; }
  // Everything written; closes the stream.
  std::string text() {
    if (file_) std::fclose(file_);
    file_ = nullptr;
    return buffer_ ? std::string(buffer_, size_) : std::string();
  }

 private:
  char* buffer_ = nullptr;
  std::size_t size_ = 0;
  std::FILE* file_;
};

// The lines of a text that must end in a line feed (an empty text has none).
inline std::vector<std::string> lines(const std::string& text, bool& endsWithNewline) {
  endsWithNewline = text.empty() || text.back() == '\n';
  std::vector<std::string> out;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t nl = text.find('\n', start);
    if (nl == std::string::npos) nl = text.size();
    out.push_back(text.substr(start, nl - start));
    start = nl + 1;
  }
  return out;
}

}  // namespace fuzz
