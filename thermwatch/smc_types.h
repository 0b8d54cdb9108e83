// The controller's vocabulary, shared by the controller client (smc.h) and
// the sensor survey (survey.h): four-character codes and their packing, the
// known type codes, command codes and fan modes, byte assembly, and the two
// decoders that turn a raw value into a number or a text. Nothing here
// touches a device.
//
// Text here is UTF-8. A code unpacks byte by byte into the characters
// U+0000..U+00FF, so a byte of 0x80 or more becomes a two-byte UTF-8
// sequence, and such a code does not pack back to itself.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace thermwatch {

// Packs a code: starting from 0, for each byte of `text`'s UTF-8 form, shift
// left by 8 (keeping 32 bits) and OR the byte in. For a four-character ASCII
// text the first character lands in the most significant byte. Other lengths
// are packed by the same rule, so only the last four bytes count.
uint32_t uint32FromString(std::string_view text);

// Unpacks a code into exactly four characters, bits 31-24 first; each byte
// becomes the character with that code point (a zero byte is U+0000).
std::string toString(uint32_t code);

uint16_t uint16FromBytes(uint8_t b0, uint8_t b1);                        // big-endian
uint32_t uint32FromBytes(uint8_t b0, uint8_t b1, uint8_t b2, uint8_t b3);  // big-endian
int intFromFPE2(uint8_t b0, uint8_t b1);                                // (b0 << 6) | (b1 >> 2)
float floatFromBytes(const uint8_t* bytes);                             // 4 bytes, little-endian
std::array<uint8_t, 4> floatBytes(float value);                         // little-endian

// Removes leading and trailing tab, space and no-break space (U+00A0).
std::string trimmedText(std::string_view text);

enum class SMCDataType { UI8, UI16, UI32, SP1E, SP3C, SP4B, SP5A, SPA5, SP69, SP78, SP87, SP96, SPB4, SPF0, FLT, FPE2, FP2E, FDS };

// The exact four-character code of a type ("ui8 ", "{fds", ...).
std::string_view code(SMCDataType type);
// Exact, case-sensitive match of a code; no type otherwise.
std::optional<SMCDataType> smcDataTypeFromString(std::string_view text);

// Command codes of the controller's kernel client.
enum class SMCKeys : uint8_t {
  kernelIndex = 2,
  readBytes = 5,
  writeBytes = 6,
  readIndex = 8,
  readKeyInfo = 9,
  readPLimit = 11,
  readVers = 12,
};
std::optional<SMCKeys> smcKeysFromValue(uint8_t value);

// A fan's control mode; serialised as its integer value.
enum class FanMode : int { automatic = 0, forced = 1, auto3 = 3 };
std::optional<FanMode> fanModeFromValue(int value);
bool isAutomatic(FanMode mode);

// One value as read from the controller.
struct SMCVal_t {
  explicit SMCVal_t(std::string key) : key(std::move(key)) {}
  std::string key;
  uint32_t dataSize = 0;        // byte count the controller reports; 0 until read
  std::string dataType;         // unpacked type code; empty until read
  std::array<uint8_t, 32> bytes{};  // the first min(32, dataSize) filled by a read
};

// The value as a number, or none: no bytes, all-zero bytes (except for the
// fan mode keys "FS! ", "F0Md", "F1Md", "F0md", "F1md", whose zero is a
// reading), or a type without a number rule. A "flt " value can give a
// not-a-number or an infinity; it is passed on unchanged.
std::optional<double> decodeValue(const SMCVal_t& val);

// The value as a text: a "{fds" value's bytes 4-15 as characters, trimmed;
// no text for an empty or all-zero value; `unsupported` for any other type.
struct StringDecoding {
  enum class Outcome { text, noText, unsupported };
  Outcome outcome = Outcome::noText;
  std::string text;
};
StringDecoding decodeStringValue(const SMCVal_t& val);

}  // namespace thermwatch
