#include "controllers/applesmc_port.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "controllers/smc_port_sysfs.h"

namespace controllers {

namespace {

constexpr uint32_t kKeyCountKey = 0x234B4559;  // "#KEY"
constexpr uint32_t kTypeUI32 = 0x75693332;     // "ui32"

}  // namespace

AppleSMCPort::AppleSMCPort(std::string root, std::shared_ptr<sysfs::Files> files)
    : root_(std::move(root)), files_(files ? std::move(files) : std::make_shared<sysfs::Files>()) {}

int32_t AppleSMCPort::readInteger(const std::string& name, int64_t& value) {
  std::string text;
  if (int32_t status = files_->read(root_ + "/" + name, text, sysfs::kIntegerFileLimit + 1)) return status;
  return sysfs::parseIntegerFile(std::move(text), value);
}

int32_t AppleSMCPort::readKeyCount(uint32_t& count) {
  int64_t value = 0;
  if (int32_t status = readInteger("key_count", value)) return status;
  if (value < 0 || value > UINT32_MAX) return ERANGE;
  count = static_cast<uint32_t>(value);
  return 0;
}

void AppleSMCPort::keepKeySelectorOpen() { files_->keepOpenForWriting(root_ + "/key_at_index"); }

int32_t AppleSMCPort::selectIndex(uint32_t index) {
  return files_->write(root_ + "/key_at_index", std::to_string(index));
}

int32_t AppleSMCPort::readNameAt(uint32_t index, uint32_t& key) {
  if (int32_t status = selectIndex(index)) return status;
  std::string name;
  if (int32_t status = files_->read(root_ + "/key_at_index_name", name, 16)) return status;
  name = sysfs::withoutNewline(std::move(name));
  if (name.empty()) return EIO;
  key = codeFromBytes(name);
  indexByKey_.emplace(key, index);  // the first position of a key wins
  return 0;
}

int32_t AppleSMCPort::findIndex(uint32_t key, uint32_t& index) {
  auto found = indexByKey_.find(key);
  if (found == indexByKey_.end() && !listWalked_) {
    uint32_t count = 0;
    if (int32_t status = readKeyCount(count)) return status;
    // The same bound as the client's listing: a corrupt count must not
    // keep a lookup walking for hours.
    count = std::min(count, kSMCMaxKeyCount);
    for (uint32_t i = 0; i < count; ++i) {
      uint32_t ignored;
      readNameAt(i, ignored);  // a position that cannot be read is simply not mapped
    }
    listWalked_ = true;
    found = indexByKey_.find(key);
  }
  if (found == indexByKey_.end()) return ENOENT;
  index = found->second;
  return 0;
}

int32_t AppleSMCPort::readKeyInfo(uint32_t key, SMCKeyData_t& output) {
  if (key == kKeyCountKey) {
    output.keyInfo.dataSize = 4;
    output.keyInfo.dataType = kTypeUI32;
    return 0;
  }
  uint32_t index = 0;
  if (int32_t status = findIndex(key, index)) return status;
  if (int32_t status = selectIndex(index)) return status;
  std::string type;
  if (int32_t status = files_->read(root_ + "/key_at_index_type", type, 16)) return status;
  int64_t length = 0;
  if (int32_t status = readInteger("key_at_index_data_length", length)) return status;
  if (length < 0 || length > UINT32_MAX) return ERANGE;
  output.keyInfo.dataSize = static_cast<uint32_t>(length);
  output.keyInfo.dataType = codeFromBytes(sysfs::withoutNewline(std::move(type)));
  return 0;
}

int32_t AppleSMCPort::readBytes(uint32_t key, SMCKeyData_t& output) {
  if (key == kKeyCountKey) {
    uint32_t count = 0;
    if (int32_t status = readKeyCount(count)) return status;
    std::memset(output.bytes, 0, sizeof output.bytes);
    for (int i = 0; i < 4; ++i) output.bytes[i] = static_cast<uint8_t>(count >> (24 - 8 * i));
    return 0;
  }
  uint32_t index = 0;
  if (int32_t status = findIndex(key, index)) return status;
  if (int32_t status = selectIndex(index)) return status;
  std::string data;
  if (int32_t status = files_->read(root_ + "/key_at_index_data", data, sizeof output.bytes)) return status;
  std::memset(output.bytes, 0, sizeof output.bytes);
  std::memcpy(output.bytes, data.data(), data.size());
  return 0;
}

int32_t AppleSMCPort::callStructMethod(uint32_t selector, const SMCKeyData_t& input, SMCKeyData_t& output) {
  if (selector != kSMCSelectorKernelIndex) return EINVAL;
  switch (input.data8) {
    case kSMCCommandReadIndex: {
      uint32_t key = 0;
      if (int32_t status = readNameAt(input.data32, key)) return status;
      output.key = key;
      return 0;
    }
    case kSMCCommandReadKeyInfo:
      return readKeyInfo(input.key, output);
    case kSMCCommandReadBytes:
      return readBytes(input.key, output);
    default:
      return ENOTSUP;
  }
}

int32_t openAppleSMCPort(const std::string& root, std::unique_ptr<SMCPort>& port,
                         std::shared_ptr<sysfs::Files> files) {
  auto opened = std::make_unique<AppleSMCPort>(root, std::move(files));
  int64_t count = 0;
  if (int32_t status = opened->readInteger("key_count", count)) return status;
  opened->keepKeySelectorOpen();
  port = std::move(opened);
  return 0;
}

}  // namespace controllers
