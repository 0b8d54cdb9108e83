// Text for JSON records from bytes that may not be UTF-8 (Linux file names
// are arbitrary bytes): a record holding invalid text could not be written
// at all.
#pragma once

#include <string>
#include <string_view>

namespace albumsweep {

// The bytes unchanged when they are valid UTF-8; otherwise each maximal
// ill-formed piece (a stray byte, a cut-off sequence, an overlong form, a
// surrogate, a code point above U+10FFFF) becomes U+FFFD.
std::string validUtf8(std::string_view bytes);

}  // namespace albumsweep
