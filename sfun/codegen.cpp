// The code-generation tables: the port records printed as static C tables for generated
// code, with every field that matching fills at run time set to zero, and a few per-port
// lists. Every text lands in one shared buffer that lives until zek_sfun_rtw_cleanup.
#include <cstring>

#ifdef ZEK_LCC_BUILD
#include "zek_lcc.h"
#endif

#include "sfun_internal.h"

namespace {

constexpr uint32_t kFirstCapacity = 5000000;

// Appends piece by piece and counts the whole text, also what did not fit, so that one
// printing pass gives the exact size the text needs.
struct Printer {
  char *buffer;
  uint32_t capacity;
  uint64_t offset;
};

void put(Printer &p, const char *format, ...) __attribute__((format(printf, 2, 3)));
void put(Printer &p, const char *format, ...) {
  uint32_t room = p.offset < p.capacity ? (uint32_t)(p.capacity - p.offset) : 0;
  va_list args;
  va_start(args, format);
  p.offset += zek_sfun_vsnprintf(room > 0 ? p.buffer + p.offset : nullptr, room, format, args);
  va_end(args);
}

// Text inside a C string literal: quotes, backslashes and control characters escaped (octal
// escapes of three digits, so a following digit cannot join them).
void putEscaped(Printer &p, const char *text) {
  const char *c = text != nullptr ? text : "";
  while (*c != '\0') {
    const char *run = c;
    while (*c != '\0' && *c != '"' && *c != '\\' && (unsigned char)*c >= 0x20 && *c != 0x7F) ++c;
    if (c > run) put(p, "%.*s", (int)(c - run), run);
    if (*c == '\0') break;
    unsigned char ch = (unsigned char)*c++;
    if (ch == '"' || ch == '\\')
      put(p, "\\%c", ch);
    else
      put(p, "\\%03o", ch);
  }
}

// A symbol of one signal: table name, port, signal and a suffix printed right behind it.
void putSymbol(Printer &p, const char *table, uint32_t port, uint32_t signal, const char *suffix) {
  put(p, "%s___p%u___s%u___%s", table, (unsigned)port, (unsigned)signal, suffix);
}

void putValues(Printer &p, const uint32_t *values, uint32_t count) {
  for (uint32_t i = 0; i < count; ++i) put(p, i == 0 ? "%u" : ", %u", values != nullptr ? (unsigned)values[i] : 0u);
}

uint16_t signalCount(const zek_port_data &port) { return port.signals != nullptr ? port.nSignals : 0; }

void printTables(Printer &p, const char *table, uint32_t portCount, const zek_port_data *ports) {
  for (uint32_t pi = 0; pi < portCount; ++pi) {
    const zek_port_data &port = ports[pi];
    uint16_t n = signalCount(port);
    for (uint16_t si = 0; si < n; ++si) {
      const zek_port_signal &s = port.signals[si];
      put(p, "static zek_uint32 ");
      putSymbol(p, table, pi, si, "zek___typeIds");
      put(p, "[%u] = {", (unsigned)s.nSlTypes);
      putValues(p, s.slTypeIds, s.nSlTypes);
      put(p, "};\n");
      put(p, "static zek_uint32 ");
      putSymbol(p, table, pi, si, "zek___typeSizes");
      put(p, "[%u] = {", (unsigned)s.nSlTypes);
      putValues(p, s.slTypeSizes, s.nSlTypes);
      put(p, "};\n");
      if (s.nDims > 0) {
        put(p, "static zek_tsize ");
        putSymbol(p, table, pi, si, "zek___dims");
        put(p, "[%u] = {", (unsigned)s.nDims);
        putValues(p, s.dims, s.nDims);
        put(p, "};\n");
      }
    }
    put(p, "static zek_port_signal %s___p%u[%u] = {\n", table, (unsigned)pi, (unsigned)n);
    for (uint16_t si = 0; si < n; ++si) {
      const zek_port_signal &s = port.signals[si];
      put(p, si == 0 ? " {\n" : ", {\n");
      put(p, "  \"");
      putEscaped(p, s.name);
      put(p, "\", /* name */\n");
      put(p, "  %u, /* mlBusElementOffset */\n", (unsigned)s.mlBusElementOffset);
      put(p, "  %u, /* nSlTypes */\n", (unsigned)s.nSlTypes);
      putSymbol(p, table, pi, si, "zek___typeIds, /* slTypeIds */\n");
      putSymbol(p, table, pi, si, "zek___typeSizes, /* slTypeSizes */\n");
      put(p, "  %u, /* nDims */\n", (unsigned)s.nDims);
      if (s.nDims > 0)
        putSymbol(p, table, pi, si, "zek___dims,/* dims */\n");
      else
        put(p, "  ZEK_NULL, /* dims */\n");
      put(p, "  %u, /* dataType */\n", (unsigned)s.dataType);
      put(p, "  %u, /* isScaledFixedPointType */\n", (unsigned)s.isScaledFixedPointType);
      put(p, "  0, /* zek_vm_adr */\n");
      put(p, "  0, /* nMlElementOffsets */\n");
      put(p, "  ZEK_NULL /* mlElementOffsets */\n");
      put(p, " }");
    }
    put(p, "\n};\n");
  }
  put(p, "static zek_port_data %s[%d] = {\n", table, (int)portCount);
  for (uint32_t pi = 0; pi < portCount; ++pi) {
    const zek_port_data &port = ports[pi];
    put(p, pi == 0 ? " {\n" : ", {\n");
    put(p, "  (void*)0,\n");
    put(p, "  %u,\n", (unsigned)signalCount(port));
    put(p, "  %s___p%u,\n", table, (unsigned)pi);
    put(p, "  %u,\n", (unsigned)port.wrapperFlag);
    put(p, "  %u,\n", (unsigned)port.writeInitialOutput);
    put(p, "  %u,\n", (unsigned)port.initialized);
    put(p, " }");
  }
  put(p, "\n};\n");
}

// The access suffix of one signal: its element path with "[0]" behind the first array extent
// of each bus level. A structural level with no path left closes the suffix.
void printSuffix(Printer &p, const zek_port_signal &s) {
  const char *path = s.name != nullptr ? std::strchr(s.name, '.') : nullptr;
  if (path != nullptr) ++path;
  if (s.nDims == 0 || s.dims == nullptr) {
    if (path != nullptr) put(p, "%s", path);
    return;
  }
  bool levelSeen = false, indexWritten = false;
  for (uint8_t k = 0; k < s.nDims; ++k) {
    if (s.dims[k] == ZEK_SFUN_STRUCT_LEVEL) {
      if (path == nullptr) return;
      if (levelSeen) put(p, ".");
      const char *end = std::strchr(path, '.');
      uint32_t length = end != nullptr ? (uint32_t)(end - path) : (uint32_t)std::strlen(path);
      put(p, "%.*s", (int)length, path);
      path = end != nullptr ? end + 1 : nullptr;
      levelSeen = true;
      indexWritten = false;
    } else if (levelSeen && !indexWritten) {
      put(p, "[0]");
      indexWritten = true;
    }
  }
}

const char *vmTypeName(uint32_t type) {
  static const char *const names[] = {"zek_type_uint8", "zek_type_int8",  "zek_type_uint16", "zek_type_int16",
                                      "zek_type_uint32", "zek_type_int32", "zek_type_int64",  "zek_type_float",
                                      "zek_type_double", "zek_type_bool"};
  return type >= 1 && type <= 10 ? names[type - 1] : "";
}

bool allocate(uint64_t size) {
  if (size > 0xFFFFFFFFu) return false;
  g_sfun.rtwCodeGenBuffer = (char *)zek_hostMalloc((uint32_t)size);
  if (g_sfun.rtwCodeGenBuffer == nullptr) return false;
  g_sfun.rtwCodeGenBufferLen = (uint32_t)size;
  return true;
}

// Two passes at most: the first into the kept buffer; a text that does not fit is printed
// once more into a buffer of its exact size. Null when no buffer can be had.
template <typename Body> void printText(char **text, Body body) {
  *text = nullptr;
  if (g_sfun.rtwCodeGenBufferLen == 0 && !allocate(kFirstCapacity)) return;
  Printer p{g_sfun.rtwCodeGenBuffer, g_sfun.rtwCodeGenBufferLen, 0};
  std::memset(p.buffer, 0, p.capacity);
  body(p);
  if (p.offset + 1 > g_sfun.rtwCodeGenBufferLen) {
    zek_sfun_rtw_cleanup();
    if (!allocate(p.offset + 1)) return;
    p = Printer{g_sfun.rtwCodeGenBuffer, g_sfun.rtwCodeGenBufferLen, 0};
    std::memset(p.buffer, 0, p.capacity);
    body(p);
  }
  *text = g_sfun.rtwCodeGenBuffer;
}

}  // namespace

// The whole length, also of a text that does not fit: the tables are printed once to measure
// them and once into a buffer of that size. The LCC builds' vsnprintf answers a fixed measure
// and the characters stored instead, so they format with the bounded primitive directly.
uint32_t zek_sfun_vsnprintf(char *buffer, uint32_t size, const char *format, va_list args) {
  if (buffer == nullptr) size = 0;
#ifdef ZEK_LCC_BUILD
  int32_t n = zek_bounded_vformat(size > 0 ? buffer : nullptr, size, format, args);
#else
  int n = std::vsnprintf(size > 0 ? buffer : nullptr, size, format, args);
#endif
  return n < 0 ? 0 : (uint32_t)n;
}

uint32_t zek_sfun_snprintf(char *buffer, uint32_t size, const char *format, ...) {
  va_list args;
  va_start(args, format);
  uint32_t n = zek_sfun_vsnprintf(buffer, size, format, args);
  va_end(args);
  return n;
}

void zek_sfun_gen_rtw_portdata(char **text, const char *tableName, uint32_t portCount, const zek_port_data *ports) {
  if (ports == nullptr) portCount = 0;
  const char *table = tableName != nullptr ? tableName : "";
  printText(text, [&](Printer &p) { printTables(p, table, portCount, ports); });
}

void zek_sfun_gen_rtw_port_signals_suffixes(char **text, const zek_port_data *port) {
  printText(text, [&](Printer &p) {
    put(p, "[");
    uint16_t n = port != nullptr ? signalCount(*port) : 0;
    for (uint16_t i = 0; i < n; ++i) {
      put(p, i == 0 ? "\"" : ", \"");
      printSuffix(p, port->signals[i]);
      put(p, "\"");
    }
    put(p, "]");
  });
}

void zek_sfun_gen_rtw_port_signals_vmtype_names(char **text, const zek_port_data *port) {
  printText(text, [&](Printer &p) {
    put(p, "[");
    uint16_t n = port != nullptr ? signalCount(*port) : 0;
    for (uint16_t i = 0; i < n; ++i) put(p, i == 0 ? "\"%s\"" : ", \"%s\"", vmTypeName(port->signals[i].dataType));
    put(p, "]");
  });
}

void zek_sfun_gen_rtw_port_signals_typeids(uint32_t **ids, uint32_t *idCount, const zek_port_data *port) {
  *ids = nullptr;
  *idCount = 0;
  uint16_t n = port != nullptr ? signalCount(*port) : 0;
  uint64_t count = 0;
  for (uint16_t i = 0; i < n; ++i) count += (uint64_t)port->signals[i].nSlTypes + 1;
  if (count == 0 || count > 0xFFFFFFFFu / sizeof(uint32_t)) return;
  uint32_t *list = (uint32_t *)zek_hostMalloc((uint32_t)(count * sizeof(uint32_t)));
  if (list == nullptr) return;
  uint32_t k = 0;
  for (uint16_t i = 0; i < n; ++i) {
    const zek_port_signal &s = port->signals[i];
    for (uint16_t t = 0; t < s.nSlTypes; ++t) list[k++] = s.slTypeIds != nullptr ? s.slTypeIds[t] : 0;
    list[k++] = ZEK_SFUN_STRUCT_LEVEL;
  }
  *ids = list;
  *idCount = (uint32_t)count;
}

void zek_sfun_rtw_cleanup(void) {
  if (g_sfun.rtwCodeGenBufferLen == 0) return;
  zek_sfun_free(g_sfun.rtwCodeGenBuffer);
  g_sfun.rtwCodeGenBuffer = nullptr;
  g_sfun.rtwCodeGenBufferLen = 0;
}
