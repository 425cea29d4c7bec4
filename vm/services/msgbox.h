#pragma once
// The message-box command of the console runner and the embedding library. The dialog is a
// separate program: started on a program's first message box as a child process,
//   "<JAVA_EXE_PATH>" -jar "<ZEKMSGBOX_JAR_PATH>" <pipe>
// where <pipe> is the local form of the pipe "\\.\pipe\<tick>_zek_vmmsgboxPipe" (on Linux
// the path of its socket file, so the dialog connects to exactly what it is given). Each
// message box sends one request line and blocks the VM's thread until the dialog answers:
//   open:<position>;<flag>;<text>;<count>;[];10;0\n
// with every ';' of the text sent as 0x1E and every line break as 0x1F, and "" for a box
// without text (null or empty). The answer is the first decimal integer the dialog sends;
// its low byte is the box's answer. "shutdown\n" ends the dialog.
//
// Nothing here reaches the VM's error state: every failure prints its message through
// zek_printf and the box answers 0. One dialog per process; single-threaded.
//
// A host installs the command after every zek_load (the load clears it):
//   zek_installMessageBoxCmd(msgbox_command);
// and calls msgbox_shutdown() when its run ends.
#include <cstdint>

#include "zek_vm.h"

// Every text buffer of the module holds this many bytes; a request line, newline included,
// is at most one less. A text too long for it is cut so that the line still ends with "\n".
constexpr uint32_t MSGBOX_BUFFER_SIZE = 32767;

extern "C" {

// The command for zek_installMessageBoxCmd. Starts the dialog on the first call; returns the
// answer's low byte, or 0 when no dialog can be shown. The items are not sent.
uint8_t msgbox_command(uint32_t position, uint8_t flag, const char *text, uint8_t count, const char *items);

// Reads the two variables, creates the pipe, starts the dialog and waits for it to connect,
// at most as long as the connect time-out and never longer than the dialog runs. 0 on
// success, else the system's error code of the step that failed.
uint32_t msgbox_startDialogProcess(void);

// Sends one request line and reads the answer; 0 after any failure.
uint8_t msgbox_requestDialog(uint32_t position, uint8_t flag, const char *text, uint8_t count);

// Ends the dialog: sends the shutdown line, gives the dialog 500 ms to end, terminates it
// otherwise, and closes the pipe. A later message box starts a new dialog.
void msgbox_shutdown(void);

}  // extern "C"

// For tests: how long the start waits for the dialog to connect (normally 30000 ms).
void msgbox_setConnectTimeout(uint32_t ms);
