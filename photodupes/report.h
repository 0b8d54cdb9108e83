// `photodupes report`: one HTML page of the groups that needs no network
// and no script.
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
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "photodupes/catalog.h"
#include "photodupes/grouping.h"

namespace photodupes {

inline constexpr std::size_t kInlineLimit = 8 << 20;

// Writes the page to `file` (and the thumbnail folder when needed); throws
// std::runtime_error when it cannot. `title` names what was searched.
void writeReport(const std::string& file, const std::vector<Photo>& photos, const std::vector<Group>& groups,
                 const std::string& title);

}  // namespace photodupes
