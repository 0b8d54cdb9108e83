// photodupes' command line: reads the arguments, opens the catalog and runs
// one command. main() is only a call of run().
#pragma once

#include <string>
#include <vector>

namespace photodupes {

// args without the program name. Returns the exit status (see scan.h).
int run(const std::vector<std::string>& args);

}  // namespace photodupes
