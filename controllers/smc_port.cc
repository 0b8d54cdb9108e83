#include "controllers/smc_port.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "controllers/applesmc_port.h"
#include "controllers/hwmon_port.h"
#include "controllers/smc_port_sysfs.h"

namespace controllers {

namespace sysfs {

int32_t readFile(const std::string& path, std::string& out, size_t limit) {
  out.clear();
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno;
  out.resize(limit);
  size_t got = 0;
  int32_t status = 0;
  while (got < limit) {
    ssize_t n = ::read(fd, out.data() + got, limit - got);
    if (n < 0) {
      if (errno == EINTR) continue;
      status = errno;
      break;
    }
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  ::close(fd);
  out.resize(status == 0 ? got : 0);
  return status;
}

namespace {

// One write of all of `text` at the start of the open file `fd`.
int32_t writeAll(int fd, const std::string& text) {
  ssize_t n;
  do {
    n = ::pwrite(fd, text.data(), text.size(), 0);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return errno;
  return static_cast<size_t>(n) == text.size() ? 0 : EIO;
}

}  // namespace

int32_t writeFile(const std::string& path, const std::string& text) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) return errno;
  int32_t status = writeAll(fd, text);
  ::close(fd);
  return status;
}

int32_t parseIntegerFile(std::string text, int64_t& value) {
  if (text.size() > kIntegerFileLimit) return EFBIG;
  return parseInteger(std::move(text), value);
}

Files::~Files() {
  for (const auto& [path, fd] : kept_) ::close(fd);
}

int32_t Files::write(const std::string& path, const std::string& text) {
  auto kept = kept_.find(path);
  return kept == kept_.end() ? writeFile(path, text) : writeAll(kept->second, text);
}

int32_t Files::keepOpenForWriting(const std::string& path) {
  if (kept_.count(path)) return 0;
  int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) return errno;
  kept_.emplace(path, fd);
  return 0;
}

int32_t readInteger(const std::string& path, int64_t& value) {
  std::string text;
  if (int32_t status = readFile(path, text, kIntegerFileLimit + 1)) return status;
  return parseIntegerFile(std::move(text), value);
}

int32_t parseInteger(std::string text, int64_t& value) {
  size_t end = text.find_last_not_of(" \t\r\n");
  if (end == std::string::npos) return EINVAL;
  text.resize(end + 1);
  const bool negative = text[0] == '-';
  size_t i = negative ? 1 : 0;
  if (i == text.size()) return EINVAL;
  // Accumulated on the value's own side of zero, so that INT64_MIN, whose
  // magnitude has no positive int64_t, is read too.
  int64_t result = 0;
  for (; i < text.size(); ++i) {
    char c = text[i];
    if (c < '0' || c > '9') return EINVAL;
    int digit = c - '0';
    if (negative ? result < (INT64_MIN + digit) / 10 : result > (INT64_MAX - digit) / 10) return ERANGE;
    result = result * 10 + (negative ? -digit : digit);
  }
  value = result;
  return 0;
}

std::string withoutNewline(std::string text) {
  if (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

}  // namespace sysfs

std::string smcErrorText(int32_t status) {
  char buffer[256];
  // GNU strerror_r: gives a pointer to the text, maybe not into `buffer`.
  const char* text = strerror_r(status, buffer, sizeof buffer);
  std::string result = text ? text : "";
  for (unsigned char c : result)
    if (c >= 0x80) return "unknown error";
  return result;
}

std::string codeBytes(uint32_t code) {
  return {static_cast<char>(code >> 24), static_cast<char>(code >> 16), static_cast<char>(code >> 8),
          static_cast<char>(code)};
}

uint32_t codeFromBytes(const std::string& bytes) {
  uint32_t code = 0;
  for (size_t i = 0; i < 4; ++i)
    code = (code << 8) | (i < bytes.size() ? static_cast<unsigned char>(bytes[i]) : 0u);
  return code;
}

namespace {

// 0 when `path` exists, ENOENT when it (or a folder on its way) does not,
// else the errno of the failed look.
int32_t lookAt(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) == 0) return 0;
  return errno == ENOTDIR ? ENOENT : errno;
}

}  // namespace

SMCOpening openSMCPort(const SMCPortRoots& roots) {
  using Open = int32_t (*)(const std::string&, std::unique_ptr<SMCPort>&);
  const std::pair<const std::string&, Open> ports[] = {
      {roots.applesmc, [](const std::string& root, std::unique_ptr<SMCPort>& port) {
         return openAppleSMCPort(root, port);
       }},
      {roots.hwmon, &openHwmonPort},
  };
  SMCOpening opening;
  for (const auto& [root, open] : ports) {
    int32_t status = lookAt(root);
    if (status == ENOENT) continue;
    if (status != 0) {
      opening.lookupStatus = status;
    } else {
      opening.found = true;
      opening.openStatus = open(root, opening.port);
    }
    break;
  }
  return opening;
}

}  // namespace controllers
