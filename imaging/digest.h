// The SHA-256 digest as the programs write it: 64 lowercase hexadecimal
// digits. albumsweep records it for every photo; photodupes checks files
// against it and names pairs by it.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace imaging {

// SHA-256 of the bytes as 64 lowercase hexadecimal digits.
std::string sha256Hex(std::span<const std::uint8_t> bytes);

}  // namespace imaging
