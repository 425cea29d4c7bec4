#pragma once
// zekvm, the console runner: runs one program image cycle by cycle, optionally feeding its
// recorded test inputs from an input file (-i), recording its file-exchanged channels into an
// output record file (-o), exchanging with the IDE (-m) and showing message boxes through the
// dialog process (-b).
//
//   zekvm <programfile> [-i <inputfile>] [-o <outputfile>] [options]
//
// Exit code 0 when the test ended, the input ran out or the user cancelled; 1 after a usage
// error or any failure. Every way out finishes the output record file (a valid file, header
// patched) and ends the dialog process. A termination request (see plat_termination_watch,
// which zekvm's main installs) is one more way out, taken between two cycles, or inside a
// cycle where its byte code goes back (zekvm's main passes the request on to the VM as its
// stop request): the run ends in order with exit code 1 and "ERROR: The run was ended by
// <signal>.". A cycle cut short so is not recorded. The record file is refused, before
// anything is opened for writing, when it is the input or the program file.
//
// One step of the loop, in this order: the exchange before the cycle; for a SuT-synchronous
// program the record row of the previous cycle; the cycle; the exchange after it; for any
// other program the record row of this cycle; then the next input row, which the next cycle
// sees. Row k of the record file has the time k * cycle time (microseconds). Row 0 of the
// input is read before cycle 0 but not applied: cycle 0 runs on the initial values, cycle
// k > 0 on row k.
#include <cstdint>

#include "zek_vm.h"

struct ConsoleOptions {
  const char *self;  // the program's own name, for the usage text
  const char *programFile;
  const char *inputFile;   // null: no input file
  const char *outputFile;  // null: no record file
  bool console;     // -c: accepted, no effect
  bool step;        // -s: ask before every cycle
  bool sharedMem;   // -m: exchange with the IDE
  bool messageBox;  // -b: message boxes through the dialog process
  bool rawError;    // -e: accepted, no effect (the error handler reports every error raw)
};

extern "C" {

// Installs the error handler, parses the command line and runs the program.
int consoleMain(int argc, char **argv);

// Runs one program as the options say; the exit code.
int runProgram(const ConsoleOptions *options);

// Reports the first error of a run on standard error (the VM's message with its context) and
// marks the run as failed; the runner then ends the run in order.
void consoleErrorHandler(void);

// The message-box command without -b: shows nothing and answers 255 when the box's flag is
// set, else 0.
uint8_t consoleMessageBoxCmd(uint32_t position, uint8_t flag, const char *text, uint8_t count, const char *items);

// The channels whose recorded flag (image bit 1) is set, in channel-table order, as an owned
// array (free with std::free); null when there are none or memory runs out.
ChannelDecl **selectFileChannels(VmData *data, uint16_t *count);

}  // extern "C"
