#include "featureprint/colour_difference.h"

#include <gtest/gtest.h>

namespace {

struct Reference {
  featureprint::Lab x, y;
  float expected;
};

// Published CIEDE2000 reference pairs (Sharma, Wu and Dalal's test data),
// chosen for the cases an implementation gets wrong: hues either side of
// 0/360 degrees and of 180 degrees apart, the a* stretch of near-neutral
// colours, the blue-region rotation, and very dark colours.
const Reference kReferences[] = {
    {{50.0000f, 2.6772f, -79.7751f}, {50.0000f, 0.0000f, -82.7485f}, 2.0425f},
    {{50.0000f, 3.1571f, -77.2803f}, {50.0000f, 0.0000f, -82.7485f}, 2.8615f},
    {{50.0000f, 0.0000f, 0.0000f}, {50.0000f, -1.0000f, 2.0000f}, 2.3669f},
    {{50.0000f, 2.4900f, -0.0010f}, {50.0000f, -2.4900f, 0.0009f}, 7.1792f},
    {{50.0000f, 2.4900f, -0.0010f}, {50.0000f, -2.4900f, 0.0011f}, 7.2195f},
    {{50.0000f, -0.0010f, 2.4900f}, {50.0000f, 0.0009f, -2.4900f}, 4.8045f},
    {{50.0000f, -0.0010f, 2.4900f}, {50.0000f, 0.0011f, -2.4900f}, 4.7461f},
    {{50.0000f, 2.5000f, 0.0000f}, {73.0000f, 25.0000f, -18.0000f}, 27.1492f},
    {{50.0000f, 2.5000f, 0.0000f}, {56.0000f, -27.0000f, -3.0000f}, 31.9030f},
    {{50.0000f, 2.5000f, 0.0000f}, {50.0000f, 3.1736f, 0.5854f}, 1.0000f},
    {{22.7233f, 20.0904f, -46.6940f}, {23.0331f, 14.9730f, -42.5619f}, 2.0373f},
    {{90.9257f, -0.5406f, -0.9208f}, {88.6381f, -0.8985f, -0.7239f}, 1.5381f},
    {{2.0776f, 0.0795f, -1.1350f}, {0.9033f, -0.0636f, -0.5514f}, 0.9082f},
};

TEST(ColourDifferenceTest, MatchesPublishedPairsBothWaysRound) {
  for (const Reference& r : kReferences) {
    EXPECT_NEAR(featureprint::deltaE2000(r.x, r.y), r.expected, 1e-3f) << r.x[0] << " " << r.x[1] << " " << r.x[2];
    EXPECT_NEAR(featureprint::deltaE2000(r.y, r.x), r.expected, 1e-3f);
  }
  EXPECT_EQ(featureprint::deltaE2000({40, 10, -20}, {40, 10, -20}), 0.0f);
}

}  // namespace
