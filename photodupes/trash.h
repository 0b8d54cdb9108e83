// The freedesktop.org Trash, written by photodupes itself so that it knows
// where each file went (undo needs that), behind a small interface with the
// system's implementation and a fake for tests.
//
// - A file on the file system of the user's data folder goes to
//   $XDG_DATA_HOME/Trash (else ~/.local/share/Trash). A file elsewhere goes
//   to its own mount's top folder: $topdir/.Trash/$uid when .Trash is a
//   real folder (not a link) with the sticky bit, else $topdir/.Trash-$uid,
//   created mode 0700 and checked to be a folder of ours and not a link.
//   Files are renamed, never copied across file systems.
// - Each file gets info/NAME.trashinfo ("[Trash Info]", Path percent-encoded,
//   absolute in the home Trash and relative to $topdir in the others,
//   DeletionDate in local time) beside files/NAME, so that file managers
//   list it and can put it back.
// - The .trashinfo is created first with O_EXCL: it reserves the name.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "photodupes/catalog.h"

namespace photodupes {

// Where one file goes in a Trash.
struct TrashPlace {
  std::string file;  // .../files/NAME
  std::string info;  // .../info/NAME.trashinfo
};

// The file system as moving to the Trash and back sees it. Paths of files
// being moved lie below a library `root`; every folder below it is reached
// without following a link and without leaving it.
class TrashEnv {
 public:
  virtual ~TrashEnv() = default;
  // The stat of a regular file, not following a link; nothing when absent.
  virtual std::optional<FileStat> stat(const std::string& path) = 0;
  // The SHA-256 (hex) of the file's bytes; nothing when it cannot be read.
  virtual std::optional<std::string> sha256(const std::string& path) = 0;
  // The names of the regular files in the folder holding `path`.
  virtual std::vector<std::string> namesBeside(const std::string& path) = 0;
  // Reserves a place for the file at `path` (on device `dev`) in the Trash
  // of its file system: creates its .trashinfo. Nothing, with `error`, when
  // no Trash there can be used.
  virtual std::optional<TrashPlace> reserve(const std::string& path, std::uint64_t dev, std::string& error) = 0;
  // Makes the .trashinfo files reserved since the last call durable, before
  // the journal names their places. False, with `error`, when one
  // could not be written out.
  virtual bool flush(std::string& error) = 0;
  // Renames the file at `path` below `root` to place.file, when it is still
  // `expected` and nothing stands at place.file. False, with `error`,
  // otherwise: then nothing moved.
  virtual bool moveIn(const std::string& root, const std::string& path, const FileStat& expected,
                      const TrashPlace& place, std::string& error) = 0;
  // Renames place.file back to `path` below `root` without replacing
  // anything, creating missing folders on the way. False, with `error`,
  // when something stands there or the path cannot be reached.
  virtual bool moveOut(const std::string& root, const TrashPlace& place, const std::string& path,
                       std::string& error) = 0;
  // Removes the place's .trashinfo (a place given up, or a file put back).
  virtual void release(const TrashPlace& place) = 0;
};

// The system's: $HOME, $XDG_DATA_HOME and the user's uid as they are now.
std::unique_ptr<TrashEnv> systemTrashEnv();

// A path percent-encoded as a .trashinfo's Path holds it: every byte but
// unreserved characters and "/".
std::string trashPathEncode(const std::string& path);

}  // namespace photodupes
