// The folder library's side of its reader process: the requests it sends
// the reader (the inventory, identifier lookups, data requests and the
// reads of files the reader keeps open) and the decoding of the answers.
// Each call answers nothing when the reader has gone or answered out of
// turn, and the library then does the access itself. Internal to the
// folder_library target.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "photolibrary/folder_library_internal.h"
#include "photolibrary/reader_process.h"

namespace photolibrary::folder {

// Every asset of the library, as the reader walked it and read its headers.
std::optional<std::vector<Entry>> askInventory(reader::Process& process);

// The entries of these identifiers, as the reader looked them up.
std::optional<std::vector<Entry>> askIdentifiers(reader::Process& process, std::span<const std::string> identifiers);

// The reader's answer to a data request.
struct ReaderOpen {
  ImageResultInfo info;
  bool hasData = false;
  std::int64_t size = 0;
  bool readOk = false;       // with the bytes read at once
  std::uint64_t handle = 0;  // otherwise
};

// A data request through the reader, with the progress handler of
// `options` called for each piece of a download; with `bytes`, the file is
// read at once into it, else the reader keeps it open under a handle.
std::optional<ReaderOpen> openViaReader(reader::Process& process, const Asset& asset,
                                        const ImageRequestOptions& options, std::vector<std::uint8_t>* bytes);

// The data of a file the reader keeps open under `handle`: its bytes are
// read there when asked for and come over the reader's channel; never
// asked for, the reader is told to let the file go.
std::shared_ptr<ImageData> readerData(std::shared_ptr<reader::Process> process, std::uint64_t handle,
                                      std::int64_t size);

}  // namespace photolibrary::folder
