// Zero-separated lists (identifiers for "albumsweep thumb", paths for
// twinspot) and the UTF-8 rules applied to them: every piece that is kept
// is valid UTF-8 and can be written in a record and read back unchanged;
// identifiers and relative paths map one to one.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "fuzz/fuzz_check.h"
#include "fuzz/fuzz_support.h"
#include "jsonlines/emit.h"
#include "jsonlines/text.h"
#include "photolibrary/folder_library_names.h"

namespace {

// UTF-8 as RFC 3629 defines it, decoded code point by code point; written
// apart from jsonlines so that the two can be compared.
bool referenceUtf8(std::string_view s) {
  std::size_t k = 0;
  while (k < s.size()) {
    unsigned char c = static_cast<unsigned char>(s[k]);
    int extra;
    std::uint32_t cp;
    if (c < 0x80) { ++k; continue; }
    if (c >= 0xC2 && c <= 0xDF) { extra = 1; cp = c & 0x1F; }
    else if (c >= 0xE0 && c <= 0xEF) { extra = 2; cp = c & 0x0F; }
    else if (c >= 0xF0 && c <= 0xF4) { extra = 3; cp = c & 0x07; }
    else return false;
    if (k + extra >= s.size()) return false;
    for (int j = 1; j <= extra; ++j) {
      unsigned char d = static_cast<unsigned char>(s[k + j]);
      if ((d & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (d & 0x3F);
    }
    if ((extra == 2 && cp < 0x800) || (extra == 3 && (cp < 0x10000 || cp > 0x10FFFF))) return false;
    if (cp >= 0xD800 && cp <= 0xDFFF) return false;
    k += extra + 1;
  }
  return true;
}

std::vector<std::string> components(const std::string& path) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (true) {
    std::size_t slash = path.find('/', start);
    parts.push_back(path.substr(start, slash == std::string::npos ? std::string::npos : slash - start));
    if (slash == std::string::npos) return parts;
    start = slash + 1;
  }
}

bool usableComponent(const std::string& c) {
  return !c.empty() && c != "." && c != ".." && c.find('/') == std::string::npos && c.find('\0') == std::string::npos;
}

// The piece written as {"id": piece} comes back as the same text.
void roundTripsThroughARecord(const std::string& piece) {
  std::optional<std::string> line = jsonlines::serialize({{"i", 0}, {"id", piece}});
  FUZZ_CHECK(line.has_value(), "valid UTF-8 always serializes");
  FUZZ_CHECK(line->find('\n') == std::string::npos, "a record is one line");
  nlohmann::json back = nlohmann::json::parse(*line, nullptr, false);
  FUZZ_CHECK(back.is_object() && back["id"] == piece, "the record reads back unchanged");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);

  FUZZ_CHECK(jsonlines::isValidUtf8(input) == referenceUtf8(input), "isValidUtf8 follows RFC 3629");
  std::string repaired = jsonlines::validUtf8(input);
  FUZZ_CHECK(jsonlines::isValidUtf8(repaired), "repaired text is valid");
  FUZZ_CHECK(!referenceUtf8(input) || repaired == input, "valid text is kept as it is");
  for (std::size_t pos = 0; pos < input.size();) {
    std::size_t n = jsonlines::utf8SequenceLength(input, pos);
    FUZZ_CHECK(n <= 4 && pos + n <= input.size(), "a sequence stays inside the text");
    FUZZ_CHECK(n == 0 || referenceUtf8(input.substr(pos, n)), "a sequence is well formed");
    pos += n ? n : 1;
  }

  // The list: the valid, non-empty pieces between zero bytes, in order.
  std::vector<std::string> expected;
  for (const std::string& piece : fuzz::splitAtZero(input))
    if (!piece.empty() && referenceUtf8(piece)) expected.push_back(piece);
  std::vector<std::string> list = jsonlines::zeroSeparatedList(input);
  FUZZ_CHECK(list == expected, "the list is every valid non-empty piece, in order");
  for (const std::string& piece : list) roundTripsThroughARecord(piece);

  // Identifiers: each piece read as an identifier, and each piece as a path.
  for (const std::string& piece : fuzz::splitAtZero(input)) {
    if (auto parts = photolibrary::folder::pathFromIdentifier(piece)) {
      FUZZ_CHECK(!parts->empty(), "an identifier names a path");
      for (const std::string& p : *parts) FUZZ_CHECK(usableComponent(p), "no empty, '.', '..' or '/' component");
      FUZZ_CHECK(photolibrary::folder::identifierFromPath(fuzz::joinedPath(*parts)) == piece,
                 "exactly one identifier names each path");
    }
    std::string id = photolibrary::folder::identifierFromPath(piece);
    FUZZ_CHECK(jsonlines::isValidUtf8(id), "identifiers are UTF-8");
    std::vector<std::string> parts = components(piece);
    bool usable = true;
    for (const std::string& p : parts) usable = usable && usableComponent(p);
    if (usable) {
      auto back = photolibrary::folder::pathFromIdentifier(id);
      FUZZ_CHECK(back && *back == parts, "a path's identifier names that path");
    }
    FUZZ_CHECK(jsonlines::isValidUtf8(photolibrary::folder::displayName(piece)), "display names are UTF-8");
  }
  return 0;
}
