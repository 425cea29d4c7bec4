// zekvm: the console runner (see console.h).
#include "console.h"

int main(int argc, char **argv) { return consoleMain(argc, argv); }
