// The folder library's inventory walk: every asset below the root, found
// by one walk of the folder tree, then dated and sized from their headers
// on a few detached threads, waited for at most until a deadline.
// Internal to the folder_library target.
#pragma once

#include <chrono>
#include <optional>
#include <vector>

#include "photolibrary/folder_library.h"
#include "photolibrary/folder_library_internal.h"

namespace photolibrary::folder {

// The entries of every asset below the open root `rootFd`, in walk order
// (the rules of the walk are in folder_library.cc). Headers are read at
// most until `headersBy`: an asset whose header has not come by then keeps
// its file dates and a pixel size of 0.
std::vector<Entry> walkLibrary(int rootFd, const FolderLibraryProbes& probes, bool networkAccessAllowed,
                               std::optional<std::chrono::system_clock::time_point> headersBy);

}  // namespace photolibrary::folder
