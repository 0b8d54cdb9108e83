// The folder photo library: a folder tree of image and video files read as
// a photo library. See folder_library.cc for the rules it follows.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/photo_library.h"

namespace platform {

// A library over the tree below `root`. Nothing is read until asked for.
std::unique_ptr<PhotoLibrary> openFolderLibrary(const std::string& root);

// The folder a run uses: the token after "--library" when there is one,
// else the user's pictures folder (XDG_PICTURES_DIR from user-dirs.dirs,
// else ~/Pictures).
std::string libraryRootFromArgs(const std::vector<std::string>& args);

}  // namespace platform
