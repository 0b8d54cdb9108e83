// The review page's backend on a real catalog: the groups with the user's
// decisions, thumbnails from the catalog, larger previews from a locked-down
// `twinspot thumb --size N`, decisions stored as they are made, and moves to
// the Trash and back (act.h).
//
// The catalog is opened for each call and closed before it returns, so
// while the page is idle a scan or a trash in another terminal takes the
// catalog's lock as if no page were open.
//
// The groups are found once (before the address is printed) and kept: a
// request is answered from them as long as nobody else changed the catalog
// since, which a CatalogWatch tells at every request without the lock. A
// change from elsewhere (scan, trash, undo, `--keep-in`) has them found
// again at the next request; a file of the page being served that changed
// or left does too. The page's own decisions are applied to the kept groups
// (a chosen keeper costs no file look; "not duplicates" finds the groups
// again from the photos and stats kept, with the distances stored). The
// page asks for version() every few seconds and shows the groups again
// when it changes.
#pragma once

#include <memory>
#include <string>

#include "photodupes/act.h"
#include "photodupes/review_server.h"
#include "photodupes/trash.h"

namespace photodupes {

std::unique_ptr<ReviewBackend> catalogReviewBackend(const std::string& catalogFile, const LibraryContext& library,
                                                    const std::string& twinspot, std::unique_ptr<TrashEnv> trash);

// `photodupes review`: serves the page on loopback (port 0: a free one),
// prints its address, opens it with xdg-open when a desktop session is
// there and `openBrowser`, and returns at Ctrl-C or the page's "Finish".
int runReview(const std::string& catalogFile, const LibraryContext& library, const std::string& twinspot, int port,
              bool openBrowser, std::FILE* out);

}  // namespace photodupes
