#include "photodupes/unreadable.h"

#include "jsonlines/text.h"

namespace photodupes {

void Unreadable::note(const std::string& path, const std::string& reason) {
  ++byReason_[reason];
  files_.emplace_back(path, reason);
}

void Unreadable::report(std::FILE* err, bool verbose, const std::string& how) const {
  if (files_.empty()) return;
  if (verbose)
    for (const auto& [path, reason] : files_)
      std::fprintf(err, "photodupes: could not read %s (%s)\n", printable(path).c_str(), reason.c_str());
  std::string reasons;
  for (const auto& [reason, n] : byReason_) reasons += (reasons.empty() ? "" : ", ") + std::to_string(n) + " " + reason;
  std::fprintf(err, "photodupes: %zu %s could not be read (%s) and %s left out%s\n", files_.size(),
               files_.size() == 1 ? "file" : "files", reasons.c_str(), files_.size() == 1 ? "is" : "are",
               verbose ? "." : ("; " + how + " lists them.").c_str());
}

std::string printable(const std::string& name) {
  const std::string text = jsonlines::validUtf8(name);
  std::string out;
  for (std::size_t k = 0; k < text.size(); ++k) {
    const unsigned char c = static_cast<unsigned char>(text[k]);
    // C0 controls and DEL, and C1 controls (U+0080-U+009F: 0xC2 0x80-0x9F).
    const bool c1 = c == 0xC2 && k + 1 < text.size() && static_cast<unsigned char>(text[k + 1]) >= 0x80 &&
                    static_cast<unsigned char>(text[k + 1]) <= 0x9F;
    if (c < 0x20 || c == 0x7F || c1) {
      const unsigned code = c1 ? static_cast<unsigned char>(text[++k]) : c;
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02x", code);
      out += buf;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

}  // namespace photodupes
