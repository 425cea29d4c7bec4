// The process-wide error state: one code and one formatted message; nothing queues.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "zek_common.h"

namespace {
struct ErrorState {
  ZekStrBuf message;
  ZekErrorHandler errorHandler;
  ZekErrorContextHandler contextHandler;
  bool handling;      // the error handler runs
  ZekStrBuf handled;  // the message it runs for, kept aside
};
ErrorState g_error;

constexpr uint32_t kContextSize = 4096;
constexpr int kMaxMessageInContext = 8191;
}  // namespace

uint16_t zek_errorCode = 0;

namespace {
// Calls the error handler for the error that stands. An error raised while it runs (a call of
// its own that failed or was refused) does not call it again, which would recurse for as long
// as the handler keeps calling. Once it returns, the error it was called for stands again,
// whatever it raised or reset meanwhile: the code that raised it goes on to stop on it.
void callErrorHandler(ZekErrorHandler handler) {
  if (g_error.handling) return;
  uint16_t code = zek_errorCode;
  bool kept = zek_strprint(&g_error.handled, "%s", zek_getErrorMessage()) >= 0;
  g_error.handling = true;
  handler();
  g_error.handling = false;
  zek_errorCode = code;
  if (kept && std::strcmp(zek_getErrorMessage(), g_error.handled.text) != 0)
    zek_strprint(&g_error.message, "%s", g_error.handled.text);
}
}  // namespace

int32_t zek_strvprint(ZekStrBuf *buffer, const char *format, va_list args) {
  va_list measure;
  va_copy(measure, args);
  int length = std::vsnprintf(nullptr, 0, format, measure);
  va_end(measure);
  if (length < 0) return -1;
  // The arguments may point into the buffer itself (a message quoting the previous one), so the
  // text is always formatted into fresh memory first and the old text released afterwards.
  char *fresh = (char *)std::calloc((size_t)length + 1, 1);
  if (fresh == nullptr) return -1;  // keep the old text rather than lose it
  std::vsnprintf(fresh, (size_t)length + 1, format, args);
  if (buffer->text != nullptr && length < buffer->capacity) {
    std::memcpy(buffer->text, fresh, (size_t)length + 1);
    std::free(fresh);
  } else {
    std::free(buffer->text);
    buffer->text = fresh;
    buffer->capacity = length + 1;
  }
  return length;
}

int32_t zek_strprint(ZekStrBuf *buffer, const char *format, ...) {
  va_list args;
  va_start(args, format);
  int32_t n = zek_strvprint(buffer, format, args);
  va_end(args);
  return n;
}

void zek_raiseError(uint16_t code, const char *format, ...) {
  zek_errorCode = code;
  va_list args;
  va_start(args, format);
  zek_strvprint(&g_error.message, format, args);
  va_end(args);
  if (g_error.contextHandler != nullptr) {
    char context[kContextSize] = {};
    g_error.contextHandler(context, kContextSize);
    context[kContextSize - 1] = '\0';
    const char *text = g_error.message.text != nullptr ? g_error.message.text : "";
    zek_strprint(&g_error.message, "%.*s (%s)", kMaxMessageInContext, text, context);
  }
  if (g_error.errorHandler != nullptr) callErrorHandler(g_error.errorHandler);
}

void zek_resetError(void) {
  zek_errorCode = 0;
  if (g_error.message.text == nullptr) {
    g_error.message.text = (char *)std::calloc(512, 1);
    g_error.message.capacity = g_error.message.text != nullptr ? 512 : 0;
  }
  if (g_error.message.text != nullptr) std::memset(g_error.message.text, 0, (size_t)g_error.message.capacity);
}

bool zek_hasError(void) { return zek_errorCode != 0; }
uint16_t zek_getErrorCode(void) { return zek_errorCode; }
const char *zek_getErrorMessage(void) { return g_error.message.text != nullptr ? g_error.message.text : ""; }

ZekErrorHandler zek_setErrorHandler(ZekErrorHandler handler) {
  ZekErrorHandler previous = g_error.errorHandler;
  g_error.errorHandler = handler;
  if (zek_errorCode != 0 && handler != nullptr) callErrorHandler(handler);
  return previous;
}

ZekErrorContextHandler zek_setErrorContextHandler(ZekErrorContextHandler handler) {
  ZekErrorContextHandler previous = g_error.contextHandler;
  g_error.contextHandler = handler;
  return previous;
}
