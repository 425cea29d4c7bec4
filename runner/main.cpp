// zekvm: the console runner (see console.h).
#include "console.h"
#include "zek_platform.h"

// Only the program's main takes over the process's signals: the libraries also serve hosts
// that own their process.
int main(int argc, char **argv) {
  plat_termination_watch();
  return consoleMain(argc, argv);
}
