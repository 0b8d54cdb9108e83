// The messages between the folder library and its reader process: what a
// request asks (its first number) and how entries and a data request's
// info are written into a message and read back. Internal to the
// folder_library target; reader_process.h carries the messages.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "photolibrary/folder_library_internal.h"
#include "photolibrary/reader_process.h"

namespace photolibrary::folder {

// What the library asks its reader process.
enum ReaderOp : std::uint64_t {
  kOpInventory = 1,    // -> entries (walk and headers)
  kOpIdentifiers = 2,  // count, identifiers -> entries
  kOpOpen = 3,         // identifier, network, read now -> info, has data, size, then read ok or a handle
  kOpRead = 4,         // handle -> bytes frames, read ok
  kOpDrop = 5,         // handle -> nothing
};

// Entries sent one after the other, with their count first; nothing when
// the message is cut short.
std::string encodeEntries(const std::vector<Entry>& entries);
std::optional<std::vector<Entry>> decodeEntries(std::string_view message);

void encodeInfo(reader::Encoder& out, const ImageResultInfo& info);
ImageResultInfo decodeInfo(reader::Decoder& in);

}  // namespace photolibrary::folder
