#include "controllers/smc_port_fake.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace controllers {

FakeSMCPort& FakeSMCPort::key(const std::string& name, const std::string& type, std::vector<uint8_t> bytes,
                              int64_t size) {
  Value value{type, static_cast<uint32_t>(size < 0 ? bytes.size() : size), std::move(bytes), 0, 0};
  unlisted(name, std::move(value));
  listed.push_back(codeFromBytes(name));
  return *this;
}

FakeSMCPort& FakeSMCPort::unlisted(const std::string& name, Value value) {
  values[codeFromBytes(name)] = std::move(value);
  return *this;
}

FakeSMCPort& FakeSMCPort::keyCount(uint32_t count) {
  return unlisted("#KEY", {"ui32", 4,
                           {static_cast<uint8_t>(count >> 24), static_cast<uint8_t>(count >> 16),
                            static_cast<uint8_t>(count >> 8), static_cast<uint8_t>(count)}, 0, 0});
}

int32_t FakeSMCPort::callStructMethod(uint32_t selector, const SMCKeyData_t& input, SMCKeyData_t& output) {
  requests.push_back(input);
  selectors.push_back(selector);
  if (selector != kSMCSelectorKernelIndex) return EINVAL;
  if (input.data8 == kSMCCommandReadIndex) {
    if (auto failing = failingPositions.find(input.data32); failing != failingPositions.end()) return failing->second;
    if (input.data32 >= listed.size()) return EINVAL;
    output.key = listed[input.data32];
    return 0;
  }
  auto found = values.find(input.key);
  if (found == values.end()) return ENOENT;
  const Value& value = found->second;
  if (input.data8 == kSMCCommandReadKeyInfo) {
    if (value.infoStatus) return value.infoStatus;
    output.keyInfo.dataSize = value.size;
    output.keyInfo.dataType = codeFromBytes(value.type);
    return 0;
  }
  if (input.data8 == kSMCCommandReadBytes) {
    if (value.bytesStatus) return value.bytesStatus;
    std::memset(output.bytes, 0, sizeof output.bytes);
    std::copy_n(value.bytes.begin(), std::min(value.bytes.size(), sizeof output.bytes), output.bytes);
    return 0;
  }
  return ENOTSUP;
}

int32_t FakeSMCPort::close() {
  ++closeCalls;
  return closeStatus;
}

}  // namespace controllers
