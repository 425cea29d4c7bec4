// zekvm: the console runner (see console.h).
#include "console.h"
#include "zek_host.h"
#include "zek_platform.h"

namespace {
// The first termination request also reaches byte code that never ends its cycle.
void stopTheVm() { zek_setStopRequest(true); }
}  // namespace

// Only the program's main takes over the process's signals: the libraries also serve hosts
// that own their process.
int main(int argc, char **argv) {
  plat_utf8_arguments(&argc, &argv);  // paths are UTF-8 on every system
  plat_termination_notify(stopTheVm);
  plat_termination_watch();
  return consoleMain(argc, argv);
}
