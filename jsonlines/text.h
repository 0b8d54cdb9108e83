// Input and text rules of the line protocol. Records hold UTF-8 only (a record with
// invalid text cannot be written at all), while Linux paths and file names
// are arbitrary bytes; and the programs that take a list on standard input
// take it zero-separated.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace jsonlines {

// Length of the well-formed UTF-8 sequence that starts at text[pos], or 0
// when the bytes there are ill-formed (stray or missing continuation bytes,
// overlong forms, surrogates, code points above U+10FFFF).
std::size_t utf8SequenceLength(std::string_view text, std::size_t pos);

bool isValidUtf8(std::string_view text);

// The bytes unchanged when they are valid UTF-8; otherwise each maximal
// ill-formed piece becomes U+FFFD.
std::string validUtf8(std::string_view bytes);

// Standard input split at every zero byte; empty pieces and pieces that are
// not valid UTF-8 are dropped, nothing is trimmed (a newline is an ordinary
// character here).
std::vector<std::string> zeroSeparatedList(std::string_view input);

// All of a file descriptor's bytes up to end of file: the programs read
// standard input to its end before they start. A non-blocking descriptor
// is waited on (the host may hand over its pipe that way); a read error
// ends the input there.
std::string readAll(int fd);

}  // namespace jsonlines
