#include "thermwatch/smc.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>

namespace thermwatch {

using controllers::SMCKeyData_t;
using controllers::smcErrorText;

SMC::SMC(const Opener& open, FILE* out) : out_(out) {
  controllers::SMCOpening opening = open();
  if (opening.lookupStatus != 0) {
    printLine("Error IOServiceGetMatchingServices(): " + smcErrorText(opening.lookupStatus));
  } else if (!opening.found) {
    printLine("Error IOIteratorNext(): " + smcErrorText(0));
  } else if (opening.openStatus != 0 || !opening.port) {
    printLine("Error IOServiceOpen(): " + smcErrorText(opening.openStatus ? opening.openStatus : ENODEV));
  } else {
    conn_ = std::move(opening.port);
  }
}

SMC::~SMC() {
  if (int32_t status = close()) printLine("error close smc connection: " + smcErrorText(status));
}

SMC& SMC::shared() {
  static SMC* instance = new SMC([] { return controllers::openSMCPort(); });
  return *instance;
}

void SMC::printLine(const std::string& line) {
  std::fputs(line.c_str(), out_);
  std::fputc('\n', out_);
}

int32_t SMC::close() { return conn_ ? conn_->close() : ENODEV; }

int32_t SMC::call(uint8_t selector, const SMCKeyData_t& input, SMCKeyData_t& output) {
  if (!conn_) return ENODEV;
  return conn_->callStructMethod(selector, input, output);
}

int32_t SMC::read(SMCVal_t& val) {
  SMCKeyData_t input{}, output{};
  input.key = uint32FromString(val.key);
  input.data8 = static_cast<uint8_t>(SMCKeys::readKeyInfo);
  const auto selector = static_cast<uint8_t>(SMCKeys::kernelIndex);
  if (int32_t status = call(selector, input, output)) return status;
  val.dataSize = output.keyInfo.dataSize;
  val.dataType = toString(output.keyInfo.dataType);

  input.keyInfo.dataSize = val.dataSize;
  input.data8 = static_cast<uint8_t>(SMCKeys::readBytes);
  if (int32_t status = call(selector, input, output)) return status;
  std::copy_n(output.bytes, std::min<uint32_t>(val.dataSize, val.bytes.size()), val.bytes.begin());
  return 0;
}

std::optional<double> SMC::getValue(const std::string& key) {
  SMCVal_t val(key);
  if (int32_t status = read(val)) {
    printLine("Error read(" + key + "): " + smcErrorText(status));
    return std::nullopt;
  }
  return decodeValue(val);
}

std::optional<std::string> SMC::getStringValue(const std::string& key) {
  SMCVal_t val(key);
  if (int32_t status = read(val)) {
    printLine("Error read(): " + smcErrorText(status));
    return std::nullopt;
  }
  StringDecoding decoded = decodeStringValue(val);
  switch (decoded.outcome) {
    case StringDecoding::Outcome::text:
      return decoded.text;
    case StringDecoding::Outcome::unsupported:
      printLine("unsupported data type " + val.dataType + " for key: " + key);
      return std::nullopt;
    case StringDecoding::Outcome::noText:
      break;
  }
  return std::nullopt;
}

std::vector<std::string> SMC::getAllKeys() {
  std::vector<std::string> keys;
  std::optional<double> count = getValue("#KEY");
  if (!count) {
    printLine("ERROR no keys count found");
    return keys;
  }
  uint32_t n = 0;
  if (std::isfinite(*count) && *count >= 1) n = static_cast<uint32_t>(std::min<double>(*count, kMaxKeyCount));
  for (uint32_t i = 0; i < n; ++i) {
    SMCKeyData_t input{}, output{};
    input.data8 = static_cast<uint8_t>(SMCKeys::readIndex);
    input.data32 = i;
    if (call(static_cast<uint8_t>(SMCKeys::kernelIndex), input, output) == 0) keys.push_back(toString(output.key));
  }
  return keys;
}

std::string SMC::fanModeKey(int fan) {
  if (!_fanModeKeyIsLower) {
    SMCVal_t val("F0md");
    _fanModeKeyIsLower = read(val) == 0 && val.dataSize != 0;
  }
  return "F" + std::to_string(fan) + (*_fanModeKeyIsLower ? "md" : "Md");
}

}  // namespace thermwatch
