// The similarity verification mode with the feature printer passed in, so
// that tests can use a printer whose prints or distances fail. The mode
// itself (modes.h) uses featureprint::defaultFeaturePrinter().
#pragma once

#include "albumsweep/run_settings.h"
#include "albumsweep/services.h"
#include "featureprint/feature_print.h"

namespace albumsweep {

int runSimverifyMode(const RunSettings& settings, Services& services, const featureprint::FeaturePrinter& printer);

}  // namespace albumsweep
