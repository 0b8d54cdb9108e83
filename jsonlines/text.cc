#include "jsonlines/text.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>

namespace jsonlines {
namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

// Checks the sequence at text[pos]: returns its length when well-formed,
// else 0 with `illFormed` set to the length of the maximal ill-formed piece
// there (at least 1), which is replaced as one.
std::size_t checkSequence(std::string_view text, std::size_t pos, std::size_t& illFormed) {
  auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char lead = byte(pos);
  illFormed = 1;
  if (lead < 0x80) return 1;
  std::size_t len;
  unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    len = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    len = 3;
    if (lead == 0xE0) lo = 0xA0;  // no overlong forms
    if (lead == 0xED) hi = 0x9F;  // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    len = 4;
    if (lead == 0xF0) lo = 0x90;  // no overlong forms
    if (lead == 0xF4) hi = 0x8F;  // nothing above U+10FFFF
  } else {
    return 0;
  }
  for (std::size_t k = 1; k < len; ++k) {
    if (pos + k >= text.size()) return 0;
    const unsigned char next = byte(pos + k);
    const bool fits = (k == 1) ? (next >= lo && next <= hi) : (next >= 0x80 && next <= 0xBF);
    if (!fits) return 0;
    illFormed = k + 1;
  }
  return len;
}

}  // namespace

std::size_t utf8SequenceLength(std::string_view text, std::size_t pos) {
  std::size_t illFormed = 0;
  return checkSequence(text, pos, illFormed);
}

bool isValidUtf8(std::string_view text) {
  for (std::size_t pos = 0; pos < text.size();) {
    std::size_t len = utf8SequenceLength(text, pos);
    if (len == 0) return false;
    pos += len;
  }
  return true;
}

std::string validUtf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (std::size_t pos = 0; pos < bytes.size();) {
    std::size_t illFormed = 0;
    std::size_t len = checkSequence(bytes, pos, illFormed);
    if (len > 0) {
      out.append(bytes.substr(pos, len));
      pos += len;
    } else {
      out.append(kReplacement);
      pos += illFormed;
    }
  }
  return out;
}

std::vector<std::string> zeroSeparatedList(std::string_view input) {
  std::vector<std::string> items;
  while (!input.empty()) {
    const std::size_t end = input.find('\0');
    const std::string_view piece = input.substr(0, end);
    if (!piece.empty() && isValidUtf8(piece)) items.emplace_back(piece);
    if (end == std::string_view::npos) break;
    input.remove_prefix(end + 1);
  }
  return items;
}

std::string readAll(int fd) {
  std::string data;
  char buf[65536];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n > 0) {
      data.append(buf, static_cast<std::size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      // The host may hand over a pipe in non-blocking mode: wait for more
      // rather than take the input as ended.
      pollfd ready{fd, POLLIN, 0};
      if (::poll(&ready, 1, -1) >= 0 || errno == EINTR) continue;
    }
    break;
  }
  return data;
}

}  // namespace jsonlines
