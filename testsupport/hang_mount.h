// A folder mounted through hangfs (hangfs.c), a FUSE file system whose
// lookups, reads and renames block, slow down or fail on demand: how a dead network
// mount or a failing disk behaves. For tests of what a program does when
// its storage stops answering.
//
// Needs /dev/fuse and the right to mount (root, or fusermount3 on PATH).
// Where either is missing, `available()` is false and `why()` says what is
// missing, so tests can GTEST_SKIP with that message.
#pragma once

#include <sys/types.h>

#include <string>

#include "testsupport/images.h"

namespace testsupport {

enum class Misbehaviour {
  kHangLookup,  // getattr, opendir, readdir and open of the path block
  kHangRead,    // reads of the file block
  kSlowRead,    // each read of the file sleeps first (see slowDown)
  kFailRead,    // reads of the file fail with EIO
  kHangRename,  // renaming the file (from its path) blocks, then happens
};

class HangMount {
 public:
  // Mounts the folder `backing` (which the test fills first or later).
  explicit HangMount(const std::string& backing);
  // Lets every blocked call go, then unmounts.
  ~HangMount();
  HangMount(const HangMount&) = delete;
  HangMount& operator=(const HangMount&) = delete;

  bool available() const { return pid_ > 0; }
  const std::string& why() const { return why_; }
  // Where the backing folder shows; paths below it are what the
  // misbehaviours name.
  const std::string& mountPoint() const { return mount_.path(); }

  // `path` relative to the mount point ("." for the mount point itself).
  void start(Misbehaviour what, const std::string& path);
  void stop(Misbehaviour what, const std::string& path);
  void slowDown(const std::string& path, int msPerRead);
  void stopAll();  // every blocked call returns

 private:
  std::string controlFile(Misbehaviour what) const;
  void setLines(const std::string& file, const std::string& line, bool present);

  TempDir mount_;
  TempDir control_;
  pid_t pid_ = -1;
  std::string why_;
};

}  // namespace testsupport
