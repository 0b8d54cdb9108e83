// Library access: asks for read-and-write access and waits for the answer
// at most services.limits.authorization.
#pragma once

#include <optional>

#include "albumsweep/services.h"

namespace albumsweep {

// Returns nothing when access is granted. Otherwise writes the one "auth"
// line ({"auth":"not-determined"|"restricted"|"denied"|"limited"}) and
// returns the exit status the process must end with (0, or
// jsonlines::kExitOutputFailed when that line could not be written).
// (The process-ending form of this step is ensureAuthOrExit in main.)
std::optional<int> ensureAuth(Services& services);

}  // namespace albumsweep
