// The folder photo library: a folder tree of image and video files read as
// a photo library. See folder_library.cc for the rules it follows.
#pragma once

#include <sys/stat.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "photolibrary/folder_library_storage.h"
#include "photolibrary/photo_library.h"
#include "photolibrary/reader_process.h"

namespace photolibrary {

// What the folder library asks of the system, replaceable in tests.
struct FolderLibraryProbes {
  // Where a file's data lives (see folder::storageOf); a test can call a
  // local file remote or not resident.
  std::function<folder::Storage(int dirFd, const std::string& name, const struct stat& st)> storage;
  // The access answer for the root (see folder::folderAuthorization).
  std::function<AuthorizationStatus(const std::string& root)> access;
  // Where below the root the storage can hang, and the reader process
  // (startFolderReader) that then does the library's file access there: the
  // walk and its header reads when any part of the library is covered,
  // identifier lookups and data requests of the covered folders. Without a
  // reader, or for a library the risk does not cover (local disks), every
  // access is done in this process, at no cost. A reader that has gone
  // (crashed, killed) is replaced by access in this process.
  folder::HangRisk hangRisk;
  std::shared_ptr<reader::Process> reader;
};

// The real probes.
FolderLibraryProbes systemProbes();

// A library over the tree below `root`. Nothing is read until asked for.
// Without `networkAccessAllowed` the headers of files on a network file
// system are not read while assets are listed or resolved (reading them is
// a download): their creation date is the modification time and their
// pixel size 0. Image data requests carry their own network setting.
std::unique_ptr<PhotoLibrary> openFolderLibrary(const std::string& root, bool networkAccessAllowed = false);
//
// `headersBy`: the listing reads headers at most until then (a scan passes
// its deadline). A header that has not come by then, from a file whose
// reads hang or crawl, leaves that asset as a header that cannot be read
// does: created = modification time, pixel size 0. The listing is then the
// same on every run only where the storage answers in time.
std::unique_ptr<PhotoLibrary> openFolderLibrary(
    const std::string& root, FolderLibraryProbes probes, bool networkAccessAllowed = false,
    std::optional<std::chrono::system_clock::time_point> headersBy = std::nullopt);

// Starts the reader process for a library over `root` with these settings
// (see photolibrary/reader_process.h): a library of its own, without a reader,
// answers there what a library given the reader in its probes asks.
// `lockDown` locks the reader down before its first request. Call while the
// program is one thread, before its own lock-down; null when the process
// cannot be started.
std::shared_ptr<reader::Process> startFolderReader(
    const std::string& root, bool networkAccessAllowed,
    std::optional<std::chrono::system_clock::time_point> headersBy, std::function<void()> lockDown);

// The folder a run uses: the token after the last "--library" that has one,
// else the user's pictures folder (XDG_PICTURES_DIR from user-dirs.dirs,
// else ~/Pictures).
std::string libraryRootFromArgs(const std::vector<std::string>& args);

// XDG_PICTURES_DIR from the text of a user-dirs.dirs file, "$HOME"
// expanded to `home`; nothing when the file does not set it to a usable
// folder (a relative path, or the home folder itself, which the file's
// format uses to mean "none").
std::optional<std::string> picturesDirFromUserDirs(const std::string& text, const std::string& home);

}  // namespace photolibrary
