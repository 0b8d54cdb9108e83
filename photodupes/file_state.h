// Whether the files behind the catalog's photos are still the files that
// were fingerprinted: photodupes stats each file itself (the scan's records
// carry no inode or change time) and compares the whole stat, so a file
// rewritten with content of the same size and its modification time set
// back counts as changed.
//
// On file systems without stable inode numbers (some network and FUSE
// mounts number files anew on every mount) a file looks changed after a
// remount: it is fingerprinted again, which costs time and is never wrong.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "photodupes/catalog.h"

namespace photodupes {

// The stat of a regular file, not following a symbolic link at the end;
// nothing when there is no regular file there.
std::optional<FileStat> statFile(const std::string& path);

// The wall clock as file systems stamp change times (the kernel's coarse
// clock), in nanoseconds: a file changed after this was taken has a change
// time no earlier than it.
std::int64_t fileClockNs();

// The file was not changed since `before` (taken before it was read) and
// its stat `now` agrees with what the reader answered (`bytes`, and `mod`
// in milliseconds): the fingerprints just read are the file's current ones.
// `before` may be nothing for a file first seen during the run; then its
// change time must precede `startedNs` (fileClockNs() before the run).
bool readWhileUnchanged(const std::optional<FileStat>& before, const FileStat& now, std::int64_t bytes,
                        std::int64_t mod, std::int64_t startedNs);

// The part of readWhileUnchanged that needs no answer from the reader (for a
// file the reader could not read): the file did not change since `before`,
// or, first seen during the run, since `startedNs`.
bool unchangedWhileRead(const std::optional<FileStat>& before, const FileStat& now, std::int64_t startedNs);

// The photo's file is the one the catalog describes: the same stat as when
// its fingerprints were taken. A photo whose stat the catalog does not have
// yet (a catalog from before it was kept) is compared by size and
// modification time alone.
bool unchangedSince(const Photo& photo, const std::optional<FileStat>& now);

// The modification time of a stat in milliseconds, as the scan's records
// carry it.
std::int64_t modMillis(const FileStat& s);

}  // namespace photodupes
