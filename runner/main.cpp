// zekvm: the console runner (see console.h).
#include "console.h"
#include "zek_stdio.h"

int main(int argc, char **argv) {
  zek_utf8_arguments(&argc, &argv);  // paths are UTF-8 on every system
  return consoleMain(argc, argv);
}
