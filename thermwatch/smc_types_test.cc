#include "thermwatch/smc_types.h"

#include <cmath>
#include <limits>
#include <vector>

#include <gtest/gtest.h>

namespace thermwatch {
namespace {

SMCVal_t value(const std::string& key, const std::string& type, std::vector<uint8_t> bytes, int size = -1) {
  SMCVal_t val(key);
  val.dataType = type;
  val.dataSize = size < 0 ? static_cast<uint32_t>(bytes.size()) : static_cast<uint32_t>(size);
  std::copy(bytes.begin(), bytes.end(), val.bytes.begin());
  return val;
}

struct DecodeCase {
  const char* name;
  std::string key, type;
  std::vector<uint8_t> bytes;
  int size;
  std::optional<double> expected;
};

TEST(DecodeValue, TypeRulesAndNoValueCases) {
  const std::vector<DecodeCase> cases = {
      {"sp78 positive", "TC0P", "sp78", {0x1E, 0x80}, -1, 30.5},
      {"sp78 negative", "TC0P", "sp78", {0xFF, 0x00}, -1, -1.0},
      {"sp1e is unsigned", "VP0R", "sp1e", {0xFF, 0xFF}, -1, 65535.0 / 16384},
      {"sp3c is signed", "VP0R", "sp3c", {0xFF, 0xFF}, -1, -1.0 / 4096},
      {"sp4b", "X", "sp4b", {0x08, 0x00}, -1, 1.0},
      {"sp5a", "X", "sp5a", {0x04, 0x00}, -1, 1.0},
      {"sp69", "X", "sp69", {0x02, 0x00}, -1, 1.0},
      {"sp87", "X", "sp87", {0x00, 0x80}, -1, 1.0},
      {"sp96", "X", "sp96", {0x00, 0x40}, -1, 1.0},
      {"spa5", "X", "spa5", {0x00, 0x20}, -1, 1.0},
      {"spb4", "X", "spb4", {0x00, 0x10}, -1, 1.0},
      {"spf0 not divided", "X", "spf0", {0x80, 0x00}, -1, -32768.0},
      {"fpe2 drops two low bits", "F0Ac", "fpe2", {0x0B, 0xB8}, -1, 750.0},
      {"fpe2 low bits never show", "F0Ac", "fpe2", {0x0B, 0xBB}, -1, 750.0},
      {"flt little-endian", "TC0P", "flt ", {0x00, 0x00, 0x48, 0x42}, -1, 50.0},
      {"ui8", "X", "ui8 ", {0xFE}, -1, 254.0},
      {"ui16 big-endian", "X", "ui16", {0x01, 0x02}, -1, 258.0},
      {"ui32 reads zeros past dataSize", "X", "ui32", {0x12, 0x34}, 2, 305397760.0},
      {"all zero bytes: no value", "TC0P", "sp78", {0, 0}, -1, std::nullopt},
      {"all zero fan mode key is a reading", "F0Md", "ui8 ", {0}, -1, 0.0},
      {"all zero FS! is a reading", "FS! ", "ui16", {0, 0}, -1, 0.0},
      {"all zero lower-case mode key", "F1md", "ui8 ", {0}, -1, 0.0},
      {"dataSize 0 with a known type", "TC0P", "sp78", {0x1E, 0x80}, 0, std::nullopt},
      {"ui8 without its space", "X", "ui8", {0x05}, -1, std::nullopt},
      {"codes are case-sensitive", "X", "SP78", {0x1E, 0x80}, -1, std::nullopt},
      {"fp2e has no rule", "X", "fp2e", {0x1E, 0x80}, -1, std::nullopt},
      {"{fds has no number", "X", "{fds", {0x1E, 0x80}, -1, std::nullopt},
      {"unknown sp pattern", "X", "sp2d", {0x1E, 0x80}, -1, std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(decodeValue(value(c.key, c.type, c.bytes, c.size)), c.expected) << c.name;
  }
}

TEST(DecodeValue, NonFiniteFloatsPassThrough) {
  auto nan = floatBytes(std::numeric_limits<float>::quiet_NaN());
  auto inf = floatBytes(-std::numeric_limits<float>::infinity());
  EXPECT_TRUE(std::isnan(*decodeValue(value("TC0P", "flt ", {nan.begin(), nan.end()}))));
  EXPECT_EQ(*decodeValue(value("TC0P", "flt ", {inf.begin(), inf.end()})), -std::numeric_limits<double>::infinity());
}

TEST(CodePacking, PacksAndUnpacks) {
  EXPECT_EQ(uint32FromString("#KEY"), 0x234B4559u);
  EXPECT_EQ(toString(0x234B4559u), "#KEY");
  EXPECT_EQ(toString(uint32FromString("ui8 ")), "ui8 ");
  EXPECT_EQ(toString(0), std::string(4, '\0'));
  EXPECT_EQ(toString(0x41004243u), std::string("A\0BC", 4));
  // 0xB0 becomes U+00B0, two bytes in UTF-8; packing keeps the last four of five bytes.
  std::string high = toString(0x41B04243u);
  EXPECT_EQ(high, "A\xC2\xB0" "BC");
  EXPECT_EQ(uint32FromString(high), 0xC2B04243u);
}

TEST(ByteAssembly, BigEndianIntegersAndLittleEndianFloats) {
  EXPECT_EQ(uint16FromBytes(0x12, 0x34), 0x1234);
  EXPECT_EQ(uint32FromBytes(0x12, 0x34, 0x56, 0x78), 0x12345678u);
  EXPECT_EQ(intFromFPE2(0xFF, 0xFF), (0xFF << 6) | 0x3F);
  const uint8_t fifty[] = {0x00, 0x00, 0x48, 0x42};
  EXPECT_EQ(floatFromBytes(fifty), 50.0f);
  for (float f : {0.0f, -1.5f, 3.14159f, 1e30f}) {
    auto bytes = floatBytes(f);
    EXPECT_EQ(floatFromBytes(bytes.data()), f);
  }
}

TEST(DecodeStringValue, FdsTextAndVerdicts) {
  std::vector<uint8_t> fds(32, 0);
  const std::string name = "Left Fan ";  // nine letters (with a space inside)...
  std::copy(name.begin(), name.end(), fds.begin() + 4);
  for (int i = 13; i < 16; ++i) fds[i] = ' ';  // ...then spaces up to entry 15
  fds[0] = 'X';
  fds[16] = 'Y';  // entries outside 4-15 never show
  auto text = decodeStringValue(value("F0ID", "{fds", fds, 16));
  EXPECT_EQ(text.outcome, StringDecoding::Outcome::text);
  EXPECT_EQ(text.text, "Left Fan");

  std::vector<uint8_t> padded(16, 0);
  padded[4] = 0xA0;  // no-break space is trimmed
  padded[5] = 'A';
  padded[6] = '\t';
  EXPECT_EQ(decodeStringValue(value("F0ID", "{fds", padded)).text, std::string("A\t") + std::string(9, '\0'));

  EXPECT_EQ(decodeStringValue(value("F0ID", "{fds", {}, 0)).outcome, StringDecoding::Outcome::noText);
  EXPECT_EQ(decodeStringValue(value("F0Md", "{fds", std::vector<uint8_t>(16, 0))).outcome,
            StringDecoding::Outcome::noText);
  EXPECT_EQ(decodeStringValue(value("TC0P", "sp78", {1, 2})).outcome, StringDecoding::Outcome::unsupported);
}

TEST(TrimmedText, RemovesTabSpaceAndNoBreakSpaceOnly) {
  EXPECT_EQ(trimmedText(" \t\xC2\xA0" "FS!\xC2\xA0 "), "FS!");
  EXPECT_EQ(trimmedText("   "), "");
  EXPECT_EQ(trimmedText(std::string("\0A\n", 3)), std::string("\0A\n", 3));
}

TEST(Enumerations, OnlyDeclaredValues) {
  EXPECT_EQ(smcDataTypeFromString("{fds"), SMCDataType::FDS);
  EXPECT_EQ(smcDataTypeFromString("spa5"), SMCDataType::SPA5);
  EXPECT_EQ(code(SMCDataType::UI8), "ui8 ");
  EXPECT_EQ(smcDataTypeFromString("flt"), std::nullopt);
  EXPECT_EQ(smcKeysFromValue(9), SMCKeys::readKeyInfo);
  for (int v : {0, 1, 3, 4, 7, 10, 13, 255}) EXPECT_EQ(smcKeysFromValue(static_cast<uint8_t>(v)), std::nullopt) << v;
  EXPECT_EQ(fanModeFromValue(3), FanMode::auto3);
  EXPECT_EQ(fanModeFromValue(2), std::nullopt);
  EXPECT_EQ(fanModeFromValue(-1), std::nullopt);
  EXPECT_TRUE(isAutomatic(FanMode::automatic));
  EXPECT_TRUE(isAutomatic(FanMode::auto3));
  EXPECT_FALSE(isAutomatic(FanMode::forced));
}

}  // namespace
}  // namespace thermwatch
