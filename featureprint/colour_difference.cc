#include "featureprint/colour_difference.h"

#include <cmath>
#include <numbers>

namespace featureprint {
namespace {

constexpr double kDegree = std::numbers::pi / 180;

// The hue angle in degrees, 0..360; 0 for a neutral colour.
double hueDegrees(double b, double a) {
  if (a == 0 && b == 0) return 0;
  double h = std::atan2(b, a) / kDegree;
  return h < 0 ? h + 360 : h;
}

// C^7 / (C^7 + 25^7), under a square root in two places.
double chromaWeight(double c) {
  double c7 = std::pow(c, 7);
  return std::sqrt(c7 / (c7 + std::pow(25.0, 7)));
}

}  // namespace

float deltaE2000(const Lab& x, const Lab& y) {
  const double l1 = x[0], a1 = x[1], b1 = x[2], l2 = y[0], a2 = y[1], b2 = y[2];
  // a* is stretched for colours of low chroma, so that near-neutral colours
  // are compared on a scale closer to what people see.
  const double meanChroma = (std::hypot(a1, b1) + std::hypot(a2, b2)) / 2;
  const double g = 0.5 * (1 - chromaWeight(meanChroma));
  const double a1p = (1 + g) * a1, a2p = (1 + g) * a2;
  const double c1 = std::hypot(a1p, b1), c2 = std::hypot(a2p, b2);
  const double h1 = hueDegrees(b1, a1p), h2 = hueDegrees(b2, a2p);

  const double dL = l2 - l1, dC = c2 - c1;
  double dh = 0;  // hue difference the short way round the circle
  if (c1 * c2 != 0) {
    dh = h2 - h1;
    if (dh > 180) dh -= 360;
    else if (dh < -180) dh += 360;
  }
  const double dH = 2 * std::sqrt(c1 * c2) * std::sin(dh * kDegree / 2);

  const double lMean = (l1 + l2) / 2, cMean = (c1 + c2) / 2;
  double hMean = h1 + h2;  // mean hue, also the short way round
  if (c1 * c2 != 0) {
    if (std::abs(h1 - h2) <= 180) hMean /= 2;
    else hMean = hMean < 360 ? (hMean + 360) / 2 : (hMean - 360) / 2;
  }
  const double t = 1 - 0.17 * std::cos((hMean - 30) * kDegree) + 0.24 * std::cos(2 * hMean * kDegree) +
                   0.32 * std::cos((3 * hMean + 6) * kDegree) - 0.20 * std::cos((4 * hMean - 63) * kDegree);
  const double rotation = 30 * std::exp(-std::pow((hMean - 275) / 25, 2));
  const double rC = 2 * chromaWeight(cMean);
  const double l50 = (lMean - 50) * (lMean - 50);
  const double sL = 1 + 0.015 * l50 / std::sqrt(20 + l50);
  const double sC = 1 + 0.045 * cMean;
  const double sH = 1 + 0.015 * cMean * t;
  const double rT = -std::sin(2 * rotation * kDegree) * rC;
  const double termL = dL / sL, termC = dC / sC, termH = dH / sH;
  return float(std::sqrt(termL * termL + termC * termC + termH * termH + rT * termC * termH));
}

}  // namespace featureprint
