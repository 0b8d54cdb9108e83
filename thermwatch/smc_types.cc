#include "thermwatch/smc_types.h"

#include <algorithm>
#include <bit>
#include <cmath>

namespace thermwatch {

namespace {

constexpr std::string_view kTypeCodes[] = {"ui8 ", "ui16", "ui32", "sp1e", "sp3c", "sp4b", "sp5a", "spa5", "sp69",
                                           "sp78", "sp87", "sp96", "spb4", "spf0", "flt ", "fpe2", "fp2e", "{fds"};

// Appends the character with code point `byte` (U+0000..U+00FF) as UTF-8.
void appendLatin1(std::string& text, uint8_t byte) {
  if (byte < 0x80) {
    text.push_back(static_cast<char>(byte));
  } else {
    text.push_back(static_cast<char>(0xC0 | (byte >> 6)));
    text.push_back(static_cast<char>(0x80 | (byte & 0x3F)));
  }
}

bool isFanModeKey(const std::string& key) {
  return key == "FS! " || key == "F0Md" || key == "F1Md" || key == "F0md" || key == "F1md";
}

}  // namespace

uint32_t uint32FromString(std::string_view text) {
  uint32_t code = 0;
  for (char c : text) code = (code << 8) | static_cast<uint8_t>(c);
  return code;
}

std::string toString(uint32_t code) {
  std::string text;
  for (int shift = 24; shift >= 0; shift -= 8) appendLatin1(text, static_cast<uint8_t>(code >> shift));
  return text;
}

uint16_t uint16FromBytes(uint8_t b0, uint8_t b1) { return static_cast<uint16_t>(b0 << 8 | b1); }

uint32_t uint32FromBytes(uint8_t b0, uint8_t b1, uint8_t b2, uint8_t b3) {
  return static_cast<uint32_t>(b0) << 24 | static_cast<uint32_t>(b1) << 16 | static_cast<uint32_t>(b2) << 8 | b3;
}

int intFromFPE2(uint8_t b0, uint8_t b1) { return (b0 << 6) | (b1 >> 2); }

float floatFromBytes(const uint8_t* bytes) {
  return std::bit_cast<float>(uint32FromBytes(bytes[3], bytes[2], bytes[1], bytes[0]));
}

std::array<uint8_t, 4> floatBytes(float value) {
  auto bits = std::bit_cast<uint32_t>(value);
  return {static_cast<uint8_t>(bits), static_cast<uint8_t>(bits >> 8), static_cast<uint8_t>(bits >> 16),
          static_cast<uint8_t>(bits >> 24)};
}

std::string trimmedText(std::string_view text) {
  auto whitespaceAt = [&](size_t i, bool fromEnd) -> size_t {  // length of the white space there, or 0
    if (fromEnd) {
      if (i >= 1 && (text[i - 1] == ' ' || text[i - 1] == '\t')) return 1;
      if (i >= 2 && text[i - 2] == '\xC2' && text[i - 1] == '\xA0') return 2;
    } else {
      if (i < text.size() && (text[i] == ' ' || text[i] == '\t')) return 1;
      if (i + 1 < text.size() && text[i] == '\xC2' && text[i + 1] == '\xA0') return 2;
    }
    return 0;
  };
  size_t begin = 0, end = text.size();
  while (size_t n = whitespaceAt(begin, false)) begin += n;
  while (end > begin)
    if (size_t n = whitespaceAt(end, true)) end -= n;
    else break;
  return std::string(text.substr(begin, end - begin));
}

std::string_view code(SMCDataType type) { return kTypeCodes[static_cast<size_t>(type)]; }

std::optional<SMCDataType> smcDataTypeFromString(std::string_view text) {
  for (size_t i = 0; i < std::size(kTypeCodes); ++i)
    if (kTypeCodes[i] == text) return static_cast<SMCDataType>(i);
  return std::nullopt;
}

std::optional<SMCKeys> smcKeysFromValue(uint8_t value) {
  switch (value) {
    case 2: case 5: case 6: case 8: case 9: case 11: case 12:
      return static_cast<SMCKeys>(value);
    default:
      return std::nullopt;
  }
}

std::optional<FanMode> fanModeFromValue(int value) {
  if (value == 0 || value == 1 || value == 3) return static_cast<FanMode>(value);
  return std::nullopt;
}

bool isAutomatic(FanMode mode) { return mode != FanMode::forced; }

std::optional<double> decodeValue(const SMCVal_t& val) {
  if (val.dataSize == 0) return std::nullopt;
  bool allZero = std::all_of(val.bytes.begin(), val.bytes.end(), [](uint8_t b) { return b == 0; });
  if (allZero && !isFanModeKey(val.key)) return std::nullopt;
  auto type = smcDataTypeFromString(val.dataType);
  if (!type) return std::nullopt;
  const auto& b = val.bytes;
  auto fixedPoint = [&](int fractionBits) {
    return static_cast<int16_t>(uint16FromBytes(b[0], b[1])) / std::ldexp(1.0, fractionBits);
  };
  switch (*type) {
    case SMCDataType::UI8: return b[0];
    case SMCDataType::UI16: return uint16FromBytes(b[0], b[1]);
    case SMCDataType::UI32: return uint32FromBytes(b[0], b[1], b[2], b[3]);
    case SMCDataType::SP1E: return uint16FromBytes(b[0], b[1]) / 16384.0;  // unsigned, unlike the others
    case SMCDataType::SP3C: return fixedPoint(12);
    case SMCDataType::SP4B: return fixedPoint(11);
    case SMCDataType::SP5A: return fixedPoint(10);
    case SMCDataType::SP69: return fixedPoint(9);
    case SMCDataType::SP78: return fixedPoint(8);
    case SMCDataType::SP87: return fixedPoint(7);
    case SMCDataType::SP96: return fixedPoint(6);
    case SMCDataType::SPA5: return fixedPoint(5);
    case SMCDataType::SPB4: return fixedPoint(4);
    case SMCDataType::SPF0: return fixedPoint(0);
    case SMCDataType::FLT: return floatFromBytes(b.data());
    case SMCDataType::FPE2: return intFromFPE2(b[0], b[1]);
    case SMCDataType::FP2E:
    case SMCDataType::FDS: return std::nullopt;
  }
  return std::nullopt;
}

StringDecoding decodeStringValue(const SMCVal_t& val) {
  if (val.dataSize == 0) return {};
  if (std::all_of(val.bytes.begin(), val.bytes.end(), [](uint8_t b) { return b == 0; })) return {};
  if (val.dataType != code(SMCDataType::FDS)) return {StringDecoding::Outcome::unsupported, {}};
  std::string text;
  for (size_t i = 4; i < 16; ++i) appendLatin1(text, val.bytes[i]);
  return {StringDecoding::Outcome::text, trimmedText(text)};
}

}  // namespace thermwatch
