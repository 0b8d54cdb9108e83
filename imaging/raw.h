// Camera raw files (DNG, NEF, CR2, ARW, ...) as the photo library's
// inventory sees them. Pictures of raws come from imaging.h like those of
// every other format: thumbFrom/imageSource recognise a raw by its bytes.
#pragma once

#include <optional>

#include "imaging/imaging.h"

namespace imaging {

// Upright (displayed) pixel size of the camera raw open at `fd` (the
// descriptor stays the caller's), read through LibRaw from the header
// alone: its stored size, width and height swapped when the raw's flip
// turns it a quarter. Nothing when LibRaw cannot read the header.
std::optional<PixelSize> rawUprightSize(int fd);

}  // namespace imaging
