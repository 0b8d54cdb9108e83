// What the kernel's sensor files hold, as the two Linux controller ports
// read them: integers in sysfs files (hwmon readings, applesmc counts and
// lengths) and the applesmc driver's key names, types and value bytes. The
// applesmc port runs over a stand-in driver whose files come from the input;
// the hwmon port reads a real file that holds the input.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "fuzz/fuzz_support.h"
#include "controllers/applesmc_port.h"
#include "controllers/hwmon_port.h"
#include "controllers/smc_port_sysfs.h"
#include "thermwatch/smc.h"

namespace {

// A sysfs integer as the kernel writes it: an optional minus sign, decimal
// digits, then optional trailing white space; within the signed 64-bit range.
int referenceInteger(const std::string& text, std::int64_t& value) {
  std::size_t end = text.find_last_not_of(" \t\r\n");
  if (end == std::string::npos) return EINVAL;
  std::string t = text.substr(0, end + 1);
  std::size_t k = t[0] == '-' ? 1 : 0;
  if (k == t.size()) return EINVAL;
  for (std::size_t j = k; j < t.size(); ++j)
    if (t[j] < '0' || t[j] > '9') return EINVAL;
  errno = 0;
  long long v = std::strtoll(t.c_str(), nullptr, 10);
  if (errno == ERANGE) return ERANGE;
  value = v;
  return 0;
}

// The applesmc driver's files, from the input: key_count, then per position
// a name, a type, a data length and the data. Selecting a position that does
// not exist fails as the driver does.
class StandInDriver : public controllers::sysfs::Files {
 public:
  StandInDriver(std::string count, std::vector<std::array<std::string, 4>> keys)
      : count_(std::move(count)), keys_(std::move(keys)) {}

  int32_t read(const std::string& path, std::string& out, size_t limit) override {
    std::string name = path.substr(path.rfind('/') + 1);
    const std::string* text = nullptr;
    if (name == "key_count") text = &count_;
    else if (selected_ < 0) return EINVAL;
    else if (name == "key_at_index_name") text = &keys_[selected_][0];
    else if (name == "key_at_index_type") text = &keys_[selected_][1];
    else if (name == "key_at_index_data_length") text = &keys_[selected_][2];
    else if (name == "key_at_index_data") text = &keys_[selected_][3];
    else return ENOENT;
    out = text->substr(0, limit);
    return 0;
  }

  int32_t write(const std::string& path, const std::string& text) override {
    if (path.substr(path.rfind('/') + 1) != "key_at_index") return EACCES;
    std::int64_t index = -1;
    selected_ = -1;
    if (referenceInteger(text, index) != 0 || index < 0 || index >= static_cast<std::int64_t>(keys_.size()))
      return EINVAL;
    selected_ = static_cast<int>(index);
    return 0;
  }

 private:
  std::string count_;
  std::vector<std::array<std::string, 4>> keys_;
  int selected_ = -1;
};

void applesmc(const std::vector<std::string>& fields) {
  std::string count = fields.empty() ? "" : fields[0];
  // The walk of the key list for an unknown key is as long as key_count; a
  // count far beyond the keys the stand-in holds only costs time.
  std::int64_t parsed = 0;
  if (referenceInteger(count, parsed) == 0 && parsed > 300) count = "300";
  std::vector<std::array<std::string, 4>> keys;
  for (std::size_t k = 1; k + 3 < fields.size() && keys.size() < 16; k += 4)
    keys.push_back({fields[k], fields[k + 1], fields[k + 2], fields[k + 3]});
  auto driver = std::make_shared<StandInDriver>(count, keys);

  fuzz::Capture lines;
  thermwatch::SMC smc(
      [&] {
        controllers::SMCOpening opening;
        opening.found = true;
        opening.openStatus = controllers::openAppleSMCPort("/sys/devices/platform/applesmc.768", opening.port, driver);
        return opening;
      },
      lines.file());
  for (const std::string& key : smc.getAllKeys()) {
    smc.getValue(key);
    smc.getStringValue(key);
  }
  smc.getValue("TC0P");  // a key that may not be listed: the port walks the list
  smc.fanModeKey(0);
}

std::string gValueFile;

void hwmon(const std::string& text) {
  int fd = ::open(gValueFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) std::abort();
  if (::write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) std::abort();
  ::close(fd);
  controllers::HwmonPort::Entry temp;
  temp.key = 0x54303030;   // "T000"
  temp.type = 0x666C7420;  // "flt "
  temp.size = 4;
  temp.path = gValueFile;
  temp.scale = 1000;
  controllers::HwmonPort port({temp});
  controllers::SMCKeyData_t input{}, output{};
  input.key = temp.key;
  input.data8 = controllers::kSMCCommandReadBytes;
  int32_t status = port.callStructMethod(controllers::kSMCSelectorKernelIndex, input, output);
  std::int64_t expected = 0;
  if (status == 0) {
    FUZZ_CHECK(referenceInteger(text, expected) == 0, "a reading comes only from a file that is one integer");
    float value;
    std::memcpy(&value, output.bytes, 4);
    FUZZ_CHECK(value == static_cast<float>(static_cast<double>(expected) / 1000),
               "the reading is the whole file's integer, scaled");
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/fuzz-hwmon-XXXXXX";
  if (!::mkdtemp(pattern.data())) std::abort();
  static std::string dir = pattern;
  gValueFile = dir + "/temp1_input";
  std::atexit([] { std::filesystem::remove_all(dir); });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (gValueFile.empty()) LLVMFuzzerInitialize(nullptr, nullptr);
  const std::string input(reinterpret_cast<const char*>(data), size);

  std::int64_t value = 0, expected = 0;
  int status = controllers::sysfs::parseInteger(input, value);
  int reference = referenceInteger(input, expected);
  // Which refusal a text both malformed and too long gets is not fixed.
  FUZZ_CHECK((status == 0) == (reference == 0), "parseInteger accepts exactly sysfs integers");
  FUZZ_CHECK(status == 0 || status == EINVAL || status == ERANGE, "a refusal is EINVAL or ERANGE");
  FUZZ_CHECK(status != 0 || value == expected, "parseInteger gives the integer's value");

  hwmon(input);
  applesmc(fuzz::splitAtZero(input));
  return 0;
}
