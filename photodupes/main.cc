// photodupes: finds duplicate photos in a photo library or in folders of
// image files, with a catalog, a printed list and an HTML report.
#include <csignal>
#include <string>
#include <vector>

#include "photodupes/cli.h"

int main(int argc, char** argv) {
  // A child that dies while we write its request must not kill us.
  std::signal(SIGPIPE, SIG_IGN);
  return photodupes::run(std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc));
}
