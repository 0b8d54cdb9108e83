// The skip manifest a host writes to a scan's standard input.
#include <cstdint>
#include <string_view>

#include "albumsweep/skip_manifest.h"
#include "fuzz/fuzz_check.h"
#include "jsonlines/text.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  albumsweep::SkipManifest m = albumsweep::readSkipManifest({reinterpret_cast<const char*>(data), size});
  FUZZ_CHECK(m.skipMod.size() == m.skipSize.size(), "every entry has both a mod and a size");
  for (const auto& [id, mod] : m.skipMod) {
    auto size = m.skipSize.find(id);
    FUZZ_CHECK(size != m.skipSize.end(), "every entry has both a mod and a size");
    FUZZ_CHECK(jsonlines::isValidUtf8(id), "identifiers from JSON are UTF-8");
    FUZZ_CHECK(m.matches(id, mod, size->second), "an entry matches itself");
    FUZZ_CHECK(!m.matches(id, mod ^ 1, size->second) && !m.matches(id, mod, size->second ^ 1),
               "a changed mod or size does not match");
  }
  return 0;
}
