// The verification document a host writes to "albumsweep simverify", run
// against a scripted library whose members answer every way a library can
// (data, in the cloud, degraded, no data, an error), with a stand-in printer
// whose prints and distances can fail, so that every record kind is reached.
#include <cmath>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "albumsweep/simverify_mode.h"
#include "fuzz/fuzz_check.h"
#include "fuzz/fuzz_support.h"
#include "photolibrary/fake_photo_library.h"

namespace {

using photolibrary::FakePhotoLibrary;

// Prints made from the bytes themselves: a print fails for data starting
// with 'x', a distance fails between prints of different lengths.
class StandInPrinter : public featureprint::FeaturePrinter {
 public:
  std::optional<featureprint::FeaturePrint> printFrom(std::span<const std::uint8_t> encoded) const override {
    if (encoded.empty() || encoded[0] == 'x') return std::nullopt;
    featureprint::FeaturePrint print;
    print.revision = 1;
    for (std::uint8_t b : encoded) print.values.push_back(b / 255.0f);
    return print;
  }
  std::optional<float> distance(const featureprint::FeaturePrint& a,
                                const featureprint::FeaturePrint& b) const override {
    if (a.values.size() != b.values.size()) return std::nullopt;
    float d = 0;
    for (std::size_t k = 0; k < a.values.size(); ++k) d += std::abs(a.values[k] - b.values[k]);
    return d;
  }
};

FakePhotoLibrary::Entry entry(const std::string& id, std::optional<std::vector<std::uint8_t>> data,
                              std::optional<photolibrary::ImageResultInfo> info = photolibrary::ImageResultInfo{}) {
  FakePhotoLibrary::Entry e;
  e.asset.localIdentifier = id;
  e.response.data = std::move(data);
  e.response.info = info;
  return e;
}

void addMembers(FakePhotoLibrary& library) {
  photolibrary::ImageResultInfo cloud, degraded, error;
  cloud.inCloud = true;
  degraded.degraded = true;
  error.hasError = true;
  library.add(entry("a", std::vector<std::uint8_t>{1, 2, 3}));
  library.add(entry("b", std::vector<std::uint8_t>{1, 2, 4}));
  library.add(entry("c", std::vector<std::uint8_t>{9, 9}));  // another length: distance fails
  library.add(entry("x", std::vector<std::uint8_t>{'x'}));   // print fails
  library.add(entry("cloud", std::nullopt, cloud));
  library.add(entry("degraded", std::vector<std::uint8_t>{1}, degraded));
  library.add(entry("error", std::nullopt, error));
  library.add(entry("empty", std::vector<std::uint8_t>{}));
  library.add(entry("none", std::nullopt, std::nullopt));
  library.add(entry("é/ü.jpg", std::vector<std::uint8_t>{1, 2, 3}));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FakePhotoLibrary library;
  library.setAuthorization({photolibrary::AuthorizationStatus::kAuthorized, /*onOtherThread=*/false});
  addMembers(library);
  timing::FakeClock clock;
  StandInPrinter printer;
  fuzz::Capture out;

  albumsweep::Services services;
  services.library = &library;
  services.clock = &clock;
  services.out = out.file();
  services.input.assign(reinterpret_cast<const char*>(data), size);
  albumsweep::RunSettings settings;
  settings.args = {"albumsweep", "simverify"};
  int status = albumsweep::runSimverifyMode(settings, services, printer);

  bool newlineEnd = false;
  std::vector<std::string> lines = fuzz::lines(out.text(), newlineEnd);
  FUZZ_CHECK(newlineEnd, "every line ends in a line feed");
  FUZZ_CHECK(status == 0 || status == 2, "exit status 0 or 2");
  if (status == 2) {
    FUZZ_CHECK(lines.size() == 1 && lines[0] == R"({"fatal":"bad_input"})", "bad input gives one fatal line");
    return 0;
  }
  std::map<std::string, int> failures;  // load and print failures by id
  for (const std::string& line : lines) {
    nlohmann::json record = nlohmann::json::parse(line, nullptr, /*allow_exceptions=*/false);
    FUZZ_CHECK(record.is_object(), "every line is one JSON object");
    if (record.contains("dist")) {
      FUZZ_CHECK(record.size() == 3 && record["a"].is_string() && record["b"].is_string() &&
                     record["dist"].is_number(),
                 "a pair record is {a, b, dist}");
    } else {
      FUZZ_CHECK(record.size() == 3 && record["id"].is_string() && record["ok"] == false &&
                     record["err"].is_string(),
                 "a failure record is {id, ok:false, err}");
      if (record["err"] != "distance_failed") {
        FUZZ_CHECK(++failures[record["id"].get<std::string>()] == 1, "a member that fails is reported once");
      }
    }
  }
  return 0;
}
