// `photodupes report`: an HTML page of the groups (or a few linked pages)
// that needs no network and no script.
//
// Each group is a row of thumbnails (the scan's own 256-pixel previews),
// with file name, folder, pixel size, bytes, capture date and distance
// under each, the suggested keeper marked; groups sorted by bytes to free;
// a summary line on top. A click on a thumbnail shows it large (CSS
// :target), a click beside it closes the view; "original" opens the file.
//
// Thumbnails go inline as data: URIs while all of them together stay
// within kInlineLimit bytes of base64 text; beyond that the page links them
// relatively from a folder "<page name without .html>_thumbs/" written
// beside it, so that a report of thousands of groups stays a page the
// browser opens quickly. Rows off screen are neither laid out
// (content-visibility) nor loaded (loading=lazy) until scrolled to.
//
// Pages: a report of many groups is split into pages of whole groups, each
// holding at most kGroupsPerPage groups and, past its first group, at most
// kPhotosPerPage photos. The first page is the file asked for, the next ones
// "<name>-2.html", "<name>-3.html"... beside it; each page repeats the
// summary and links to every page. Browsers that ignore loading=lazy (the
// headless ones do) fetch every thumbnail of a page before its load event:
// one page of 5,000 groups took half a minute to complete, a page of 100
// groups a second.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "photodupes/catalog.h"
#include "photodupes/grouping.h"

namespace photodupes {

inline constexpr std::size_t kInlineLimit = 8 << 20;
inline constexpr std::size_t kGroupsPerPage = 100;
inline constexpr std::size_t kPhotosPerPage = 300;

// Writes the page(s) to `file` (and the thumbnail folder when needed); throws
// std::runtime_error when it cannot. `title` names what was searched.
void writeReport(const std::string& file, const std::vector<Photo>& photos, const std::vector<Group>& groups,
                 const std::string& title);

}  // namespace photodupes
