#include "controllers/hwmon_port.h"

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <cstring>
#include <map>
#include <optional>

#include "controllers/smc_port_sysfs.h"

namespace controllers {

namespace {

constexpr char kDigits[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
constexpr size_t kDigitCount = sizeof kDigits - 1;
constexpr uint32_t kTypeFloat = 0x666C7420;  // "flt "

// The readings of one chip, by sensor number, as file paths.
struct ChipFiles {
  std::map<int, std::string> temp, in, power, powerAverage, curr;
  std::map<int, std::array<std::string, 4>> fan;  // input, min, max, target
};

// Names in `dir`, or nothing when it cannot be listed (errno in `status`).
std::optional<std::vector<std::string>> listFolder(const std::string& dir, int32_t& status) {
  DIR* d = ::opendir(dir.c_str());
  if (!d) {
    status = errno;
    return std::nullopt;
  }
  std::vector<std::string> names;
  while (dirent* e = ::readdir(d)) names.emplace_back(e->d_name);
  ::closedir(d);
  status = 0;
  return names;
}

// Parses "<prefix><number>_<suffix>"; gives the number, or -1.
int sensorNumber(const std::string& name, const char* prefix, const char* suffix) {
  size_t p = std::strlen(prefix), s = std::strlen(suffix);
  if (name.size() < p + 1 + 1 + s || name.compare(0, p, prefix) != 0) return -1;
  if (name.compare(name.size() - s, s, suffix) != 0 || name[name.size() - s - 1] != '_') return -1;
  std::string digits = name.substr(p, name.size() - s - 1 - p);
  if (digits.empty() || digits.size() > 4 || digits.find_first_not_of("0123456789") != std::string::npos) return -1;
  return std::stoi(digits);
}

ChipFiles chipFiles(const std::string& dir) {
  ChipFiles files;
  int32_t status;
  auto names = listFolder(dir, status);
  if (!names) return files;
  static const char* kFanSuffixes[] = {"input", "min", "max", "target"};
  for (const auto& name : *names) {
    std::string path = dir + "/" + name;
    int k;
    if ((k = sensorNumber(name, "temp", "input")) >= 0) files.temp[k] = path;
    else if ((k = sensorNumber(name, "in", "input")) >= 0) files.in[k] = path;
    else if ((k = sensorNumber(name, "power", "input")) >= 0) files.power[k] = path;
    else if ((k = sensorNumber(name, "power", "average")) >= 0) files.powerAverage[k] = path;
    else if ((k = sensorNumber(name, "curr", "input")) >= 0) files.curr[k] = path;
    else
      for (int f = 0; f < 4; ++f)
        if ((k = sensorNumber(name, "fan", kFanSuffixes[f])) >= 0) files.fan[k][f] = path;
  }
  for (const auto& [k, path] : files.powerAverage) files.power.emplace(k, path);
  return files;
}

uint32_t packKey(char a, char b, char c, char d) {
  return codeFromBytes(std::string{a, b, c, d});
}

}  // namespace

HwmonPort::HwmonPort(std::vector<Entry> entries) : entries_(std::move(entries)) {
  for (size_t i = 0; i < entries_.size(); ++i) indexByKey_.emplace(entries_[i].key, i);
}

int32_t HwmonPort::callStructMethod(uint32_t selector, const SMCKeyData_t& input, SMCKeyData_t& output) {
  if (selector != kSMCSelectorKernelIndex) return EINVAL;
  if (input.data8 == kSMCCommandReadIndex) {
    if (input.data32 >= entries_.size()) return EINVAL;
    output.key = entries_[input.data32].key;
    return 0;
  }
  if (input.data8 != kSMCCommandReadKeyInfo && input.data8 != kSMCCommandReadBytes) return ENOTSUP;
  auto found = indexByKey_.find(input.key);
  if (found == indexByKey_.end()) return ENOENT;
  const Entry& entry = entries_[found->second];
  if (input.data8 == kSMCCommandReadKeyInfo) {
    output.keyInfo.dataSize = entry.size;
    output.keyInfo.dataType = entry.type;
    return 0;
  }
  std::memset(output.bytes, 0, sizeof output.bytes);
  if (entry.path.empty()) {  // a count: "#KEY" big-endian ui32, "FNum" ui8
    for (uint32_t i = 0; i < entry.size; ++i)
      output.bytes[i] = static_cast<uint8_t>(entry.count >> (8 * (entry.size - 1 - i)));
    return 0;
  }
  int64_t raw = 0;
  if (int32_t status = sysfs::readInteger(entry.path, raw)) return status;
  auto bits = std::bit_cast<uint32_t>(static_cast<float>(static_cast<double>(raw) / entry.scale));
  for (int i = 0; i < 4; ++i) output.bytes[i] = static_cast<uint8_t>(bits >> (8 * i));
  return 0;
}

int32_t openHwmonPort(const std::string& root, std::unique_ptr<SMCPort>& port) {
  int32_t status;
  auto names = listFolder(root, status);
  if (!names) return status;
  std::vector<std::pair<long, std::string>> chips;  // (N, folder) of every hwmonN
  for (const auto& name : *names) {
    if (name.size() <= 5 || name.compare(0, 5, "hwmon") != 0 || name.size() > 14) continue;
    if (name.find_first_not_of("0123456789", 5) != std::string::npos) continue;
    chips.emplace_back(std::stol(name.substr(5)), root + "/" + name);
  }
  std::sort(chips.begin(), chips.end());

  using Entry = HwmonPort::Entry;
  std::vector<Entry> readings;
  uint32_t fans = 0;
  auto add = [&](char letter, char chip, int k, const std::string& path, double scale) {
    if (k > 99) return;
    readings.push_back({packKey(letter, chip, static_cast<char>('0' + k / 10), static_cast<char>('0' + k % 10)),
                        kTypeFloat, 4, path, scale, 0});
  };
  for (size_t c = 0; c < chips.size() && c < kDigitCount; ++c) {
    std::string dir = chips[c].second;
    if (::access((dir + "/name").c_str(), F_OK) != 0 && ::access((dir + "/device/name").c_str(), F_OK) == 0)
      dir += "/device";
    ChipFiles files = chipFiles(dir);
    char chip = kDigits[c];
    for (const auto& [k, path] : files.temp) add('T', chip, k, path, 1000);
    for (const auto& [k, path] : files.in) add('V', chip, k, path, 1000);
    for (const auto& [k, path] : files.power) add('P', chip, k, path, 1e6);
    for (const auto& [k, path] : files.curr) add('I', chip, k, path, 1000);
    for (const auto& [k, paths] : files.fan) {
      if (fans >= kDigitCount) break;
      char fan = kDigits[fans++];
      static const char* kEndings[] = {"Ac", "Mn", "Mx", "Tg"};
      for (int f = 0; f < 4; ++f)
        if (!paths[f].empty())
          readings.push_back({packKey('F', fan, kEndings[f][0], kEndings[f][1]), kTypeFloat, 4, paths[f], 1, 0});
    }
  }

  std::vector<Entry> entries;
  uint32_t total = static_cast<uint32_t>(readings.size()) + 1 + (fans > 0 ? 1 : 0);
  entries.push_back({packKey('#', 'K', 'E', 'Y'), packKey('u', 'i', '3', '2'), 4, "", 1, total});
  if (fans > 0) entries.push_back({packKey('F', 'N', 'u', 'm'), packKey('u', 'i', '8', ' '), 1, "", 1, fans});
  entries.insert(entries.end(), std::make_move_iterator(readings.begin()), std::make_move_iterator(readings.end()));
  port = std::make_unique<HwmonPort>(std::move(entries));
  return 0;
}

}  // namespace controllers
