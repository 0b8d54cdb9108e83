// The JSON-lines output channel shared by albumsweep and twinspot.
//
// A record is a JSON object; emit() writes it as one compact UTF-8 line
// followed by a single line feed. A record that cannot be serialized (for
// example text that is not valid UTF-8) is dropped silently: the caller goes
// on as if it had been written.
#pragma once

#include <cstdio>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

namespace jsonlines {

using Record = nlohmann::json;

// The compact text of a record, without the line feed; nothing when the
// record cannot be serialized.
std::optional<std::string> serialize(const Record& record);

// Writes the record as one line to `out` (standard output by default) with
// a single fwrite, so that a line is never split between writers that hold
// a common lock. Takes no lock itself. Gives false once writing to `out` has
// failed (a full disk, /dev/full, a reader that closed its pipe): the
// caller then stops its work and ends with kExitOutputFailed. A record that
// cannot be serialized is not a failed write.
bool emit(const Record& record, std::FILE* out = stdout);

// Exit status of a program that stopped because its output could not be
// written.
inline constexpr int kExitOutputFailed = 1;

// Switches standard output to line buffering: every line reaches the
// reader at its line feed.
void makeStdoutLineBuffered();

}  // namespace jsonlines
