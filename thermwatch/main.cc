// thermwatch: prints the machine's sensor readings as one JSON document.
#include <csignal>

#include "thermwatch/survey.h"

int main() {
  // A host that stops reading must not kill us with SIGPIPE: the failed
  // write ends the run with status 1 instead.
  std::signal(SIGPIPE, SIG_IGN);
  return thermwatch::run();
}
