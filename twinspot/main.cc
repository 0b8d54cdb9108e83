// twinspot: difference hashes or JPEG previews of the image files named on
// standard input. See twinspot.h for the protocol.
#include <unistd.h>

#include <csignal>

#include "imaging/imaging.h"
#include "jsonlines/emit.h"
#include "jsonlines/text.h"
#include "lockdown/lockdown.h"
#include "twinspot/twinspot.h"

int main(int argc, char** argv) {
  jsonlines::makeStdoutLineBuffered();
  // A host that stops reading must not kill us with SIGPIPE: the failed
  // write ends the run with its own exit status instead.
  std::signal(SIGPIPE, SIG_IGN);
  imaging::initImaging();
  // From here on nothing but reading files: see lockdown/lockdown.h.
  lockdown::lockDown(lockdown::twinspotPolicy());
  std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
  const std::string input = jsonlines::readAll(STDIN_FILENO);
  return twinspot::run(args, input, stdout);
}
