// The review page: one HTML document, its script and its style sheet, all
// built into photodupes (the page loads nothing from elsewhere, and the
// Content-Security-Policy forbids inline script, so each is its own file).
#pragma once

#include <string>

namespace photodupes {

// The page, carrying the per-page token the script sends with every change.
std::string reviewPage(const std::string& pageToken);

extern const char* const kReviewScript;
extern const char* const kReviewStyle;

}  // namespace photodupes
