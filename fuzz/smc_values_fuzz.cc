// Values a controller reports: the decoders of raw key values, and the
// whole survey on a scripted controller whose keys, types, sizes and bytes
// come from the input. The document is always valid JSON with finite
// numbers, or the single failure line.
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "fuzz/fuzz_check.h"
#include "fuzz/fuzz_support.h"
#include "controllers/smc_port_fake.h"
#include "thermwatch/smc.h"
#include "thermwatch/smc_types.h"
#include "thermwatch/survey.h"

namespace {

using thermwatch::SMCVal_t;

// Reads the input front to back; zero bytes once it runs out.
struct Reader {
  const std::uint8_t* data;
  std::size_t size;
  std::size_t pos = 0;
  bool done() const { return pos >= size; }
  std::uint8_t byte() { return pos < size ? data[pos++] : 0; }
  std::uint32_t u32() {
    std::uint32_t v = 0;
    for (int k = 0; k < 4; ++k) v = (v << 8) | byte();
    return v;
  }
  std::string raw(std::size_t n) {
    std::string s;
    for (std::size_t k = 0; k < n; ++k) s.push_back(static_cast<char>(byte()));
    return s;
  }
};

bool encodable(const std::string& text) {
  try {
    (void)nlohmann::json(text).dump();
    return true;
  } catch (const nlohmann::json::exception&) {
    return false;
  }
}

void decoders(Reader& in) {
  SMCVal_t val(thermwatch::toString(in.u32()));
  val.dataType = thermwatch::toString(in.u32());
  val.dataSize = in.byte();
  for (std::uint8_t& b : val.bytes) b = in.byte();

  std::optional<double> value = thermwatch::decodeValue(val);
  auto type = thermwatch::smcDataTypeFromString(val.dataType);
  FUZZ_CHECK(!value || type, "only a known type gives a number");
  if (value && *type != thermwatch::SMCDataType::FLT) {
    FUZZ_CHECK(std::isfinite(*value), "fixed-point and integer types are finite");
  }
  thermwatch::StringDecoding text = thermwatch::decodeStringValue(val);
  FUZZ_CHECK(encodable(text.text), "decoded text is UTF-8");
  FUZZ_CHECK(thermwatch::trimmedText(text.text) == text.text, "decoded text is trimmed");
  FUZZ_CHECK(encodable(val.key) && val.key.size() >= 4 && val.key.size() <= 8, "a key is four characters");
  std::uint32_t code = thermwatch::uint32FromString(val.key);
  bool ascii = true;
  for (char c : val.key) ascii = ascii && static_cast<unsigned char>(c) < 0x80;
  FUZZ_CHECK(!ascii || thermwatch::toString(code) == val.key, "an ASCII code packs back to itself");
}

// A controller of up to 24 keys: name, type, reported size, 0-32 bytes.
void survey(Reader& in) {
  auto port = std::make_unique<controllers::FakeSMCPort>();
  int keys = in.byte() % 25;
  for (int k = 0; k < keys && !in.done(); ++k) {
    std::string name = in.raw(4), type = in.raw(4);
    std::uint8_t reported = in.byte();
    std::vector<std::uint8_t> bytes;
    for (int n = in.byte() % 33; n > 0; --n) bytes.push_back(in.byte());
    port->key(name, type, bytes, reported);
  }
  port->keyCount(in.byte() % 32);  // may name more or fewer keys than there are
  fuzz::Capture lines;
  thermwatch::SMC smc(
      [&] {
        controllers::SMCOpening opening;
        opening.found = true;
        opening.port = std::move(port);
        return opening;
      },
      lines.file());
  fuzz::Capture out;
  int status = thermwatch::report(smc, out.file(), [] { return std::chrono::system_clock::time_point{}; });
  std::string document = out.text();
  if (status == 1) {
    FUZZ_CHECK(document == std::string(thermwatch::kEncodeFailureLine) + "\n", "failure is the one line");
    return;
  }
  FUZZ_CHECK(status == 0, "exit status 0 or 1");
  nlohmann::json doc = nlohmann::json::parse(document, nullptr, false);
  FUZZ_CHECK(doc.is_object() && doc["ok"] == true && doc["sensors"].is_array(), "the document is a sensor report");
  for (const nlohmann::json& sensor : doc["sensors"])
    FUZZ_CHECK(sensor["value"].is_number() && std::isfinite(sensor["value"].get<double>()), "readings are finite");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Reader in{data, size};
  decoders(in);
  survey(in);
  return 0;
}
