// The message-box dialog process: start, one request per message box, shutdown.
#include "msgbox.h"

#include <cstdio>
#include <cstring>
#include <type_traits>

#include "zek_common.h"
#include "zek_platform.h"

static_assert(std::is_same_v<decltype(&msgbox_command), ZekMessageBoxCmd>,
              "msgbox_command must be installable with zek_installMessageBoxCmd");

namespace {

constexpr uint32_t kDefaultConnectTimeoutMs = 30000;
constexpr uint32_t kShutdownGraceMs = 500;
// After a kill the child is gone at once; the bound only keeps a stuck reap from hanging.
constexpr uint32_t kReapTimeoutMs = 2000;
constexpr uint32_t kDialogRows = 10;
constexpr uint32_t kDialogColumns = 0;
constexpr char kShutdownLine[] = "shutdown\n";
constexpr char kNoText[] = "\"\"";

struct MsgboxState {
  PlatPipe *pipe;        // null while there is no dialog
  PlatProcess *child;    // null while there is no dialog
  bool startAttempted;   // no further start until shutdown once the Java variable was found
  uint32_t connectTimeoutMs;
};

MsgboxState g_msgbox = {nullptr, nullptr, false, kDefaultConnectTimeoutMs};

// The three buffers of the module; one request at a time, on the host's thread.
char g_javaPath[MSGBOX_BUFFER_SIZE];
char g_jarPath[MSGBOX_BUFFER_SIZE];
char g_line[MSGBOX_BUFFER_SIZE];
char g_answer[MSGBOX_BUFFER_SIZE + 1];  // room for the NUL behind a full read

// The code of the failed step; never 0, so that a caller cannot take the failure for success.
uint32_t failureCode(void) {
  uint32_t code = plat_last_error();
  return code != 0 ? code : 1;
}

// Builds the request line in g_line and returns its length (newline included, no NUL).
uint32_t formatRequest(uint32_t position, uint8_t flag, const char *text, uint8_t count) {
  char tail[48];
  int tailLength = std::snprintf(tail, sizeof tail, ";%d;[];%u;%u\n", count, kDialogRows, kDialogColumns);
  int headLength = std::snprintf(g_line, sizeof g_line, "open:%u;%d;", position, flag);
  uint32_t length = (uint32_t)headLength;
  // What is left for the text once the tail and the NUL are sure to fit.
  uint32_t room = MSGBOX_BUFFER_SIZE - 1 - length - (uint32_t)tailLength;
  if (text == nullptr || text[0] == '\0') {
    std::memcpy(g_line + length, kNoText, sizeof kNoText - 1);
    length += sizeof kNoText - 1;
  } else {
    uint32_t n = zek_nstrlen(text, room);
    for (uint32_t i = 0; i < n; ++i) {
      char c = text[i];
      g_line[length + i] = c == ';' ? '\x1e' : c == '\n' ? '\x1f' : c;
    }
    length += n;
  }
  std::memcpy(g_line + length, tail, (size_t)tailLength + 1);
  return length + (uint32_t)tailLength;
}

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

// The low byte of the first decimal integer of text (white space before it skipped); false
// when the text holds no number there. Reduced modulo 256 as it is read, so a number of any
// length has a defined low byte.
bool scanAnswer(const char *text, uint8_t *answer) {
  const char *p = text;
  while (isBlank(*p)) ++p;
  bool negative = *p == '-';
  if (*p == '-' || *p == '+') ++p;
  if (*p < '0' || *p > '9') return false;
  uint32_t low = 0;
  for (; *p >= '0' && *p <= '9'; ++p) low = (low * 10u + (uint32_t)(*p - '0')) & 0xFFu;
  *answer = (uint8_t)(negative ? 0u - low : low);
  return true;
}

}  // namespace

void msgbox_setConnectTimeout(uint32_t ms) { g_msgbox.connectTimeoutMs = ms; }

uint32_t msgbox_startDialogProcess(void) {
  MsgboxState &s = g_msgbox;
  if (!plat_getenv("JAVA_EXE_PATH", g_javaPath, sizeof g_javaPath)) {
    uint32_t code = failureCode();
    zek_printf("Could not get environment variable 'JAVA_EXE_PATH'.\n");
    return code;
  }
  bool haveJar = plat_getenv("ZEKMSGBOX_JAR_PATH", g_jarPath, sizeof g_jarPath);
  s.startAttempted = true;
  if (!haveJar) {
    uint32_t code = failureCode();
    zek_printf("Could not get environment variable 'ZEKMSGBOX_JAR_PATH'.\n");
    return code;
  }

  char pipeName[64];
  std::snprintf(pipeName, sizeof pipeName, "\\\\.\\pipe\\%u_zek_vmmsgboxPipe", (uint32_t)plat_tick_ms());
  char pipePath[512];
  s.pipe = plat_pipe_path(pipeName, pipePath, sizeof pipePath) ? plat_pipe_create(pipeName) : nullptr;
  if (s.pipe == nullptr) {
    uint32_t code = failureCode();
    zek_printf("Could not create pipe (%ld).\n", (long)code);
    return code;
  }

  const char *argv[] = {g_javaPath, "-jar", g_jarPath, pipePath, nullptr};
  s.child = plat_process_start(argv);
  if (s.child == nullptr) {
    uint32_t code = failureCode();
    zek_printf("CreateProcess failed (%ld).\n", (long)code);
    plat_pipe_close(s.pipe);
    s.pipe = nullptr;
    return code;
  }

  // Bounded, and over as soon as the child ends: a dialog that dies before connecting must
  // not hang the VM. Pipe and child are kept either way; later requests fail on the pipe.
  if (plat_pipe_accept_child(s.pipe, s.child, s.connectTimeoutMs) != PLAT_WAIT_OK) {
    uint32_t code = failureCode();
    zek_printf("Client did not connect to pipe (%ld).\n", (long)code);
    return code;
  }
  return 0;
}

uint8_t msgbox_requestDialog(uint32_t position, uint8_t flag, const char *text, uint8_t count) {
  PlatPipe *pipe = g_msgbox.pipe;
  if (pipe == nullptr) return 0;
  uint32_t length = formatRequest(position, flag, text, count);
  if (!plat_pipe_write(pipe, g_line, length)) {
    zek_printf("Could not write open dialog to pipe (%ld)!\n", (long)failureCode());
    return 0;
  }
  int64_t received = plat_pipe_read(pipe, g_answer, MSGBOX_BUFFER_SIZE);
  if (received <= 0) {
    // 0: the dialog closed its end, which fails the read of a pipe.
    uint32_t code = received < 0 ? failureCode() : plat_error_broken_pipe();
    zek_printf("Could not read open dialog result from pipe (%ld)!\n", (long)code);
    return 0;
  }
  g_answer[received] = '\0';
  uint8_t answer = 0;
  if (!scanAnswer(g_answer, &answer)) {
    zek_printf("Could not scan result (%d)!\n", (int)received);
    return 0;
  }
  return answer;
}

uint8_t msgbox_command(uint32_t position, uint8_t flag, const char *text, uint8_t count, const char *) {
  MsgboxState &s = g_msgbox;
  if (s.child == nullptr) {
    if (s.startAttempted) return 0;
    if (msgbox_startDialogProcess() != 0) return 0;
  }
  if (s.pipe == nullptr) return 0;
  return msgbox_requestDialog(position, flag, text, count);
}

void msgbox_shutdown(void) {
  MsgboxState &s = g_msgbox;
  if (s.pipe != nullptr && !plat_pipe_write(s.pipe, kShutdownLine, sizeof kShutdownLine - 1))
    zek_printf("Could not write EOF to pipe (%ld)!\n", (long)failureCode());
  if (s.child != nullptr) {
    if (plat_process_running(s.child) && plat_process_wait(s.child, kShutdownGraceMs) != PLAT_WAIT_OK) {
      if (plat_process_terminate(s.child))
        plat_process_wait(s.child, kReapTimeoutMs);
      else
        zek_printf("Could not terminate child process %ld (%ld)!\n", (long)plat_process_id(s.child),
                   (long)failureCode());
    }
    plat_process_close(s.child);
    s.child = nullptr;
  }
  if (s.pipe != nullptr) {
    plat_pipe_close(s.pipe);
    s.pipe = nullptr;
  }
  s.startAttempted = false;
}
