// How different two colours look: the CIEDE2000 colour difference of two
// CIELAB colours (L 0..100, a and b about -128..127). About 1 is the
// smallest difference people notice side by side; 10 and more are clearly
// different colours.
#pragma once

#include <array>

namespace featureprint {

using Lab = std::array<float, 3>;  // L, a, b

// CIEDE2000 (kL = kC = kH = 1): 0 for equal colours, symmetric.
float deltaE2000(const Lab& x, const Lab& y);

}  // namespace featureprint
