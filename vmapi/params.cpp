// Parameter exchange with the SuT: the parameters of a parameter file read out of the SuT into
// a result file, or written into the SuT, through bindings the frame makes in a callback. A
// live test execution stays untouched: the exchange binds into an execution of its own.
#include <cstdlib>
#include <cstring>

#include "vmapi_internal.h"
#include "zekbin_paramfile.h"

namespace {

// known flags the records that go into the file (null: none). The reader's records keep their
// value pointers: the reader releases its buffers through them.
bool writeResultFile(VmapiPath path, const char *name, ChannelDecl *records, const uint8_t *isKnown, uint32_t count,
                     uint32_t known) {
  FILE *stream = vmapi_openPath(path, "wb");
  if (stream == nullptr) {
    zek_raiseError(ZEK_ERR_FILE, "ERROR: Unable to open file '%s' for %s access.", name, "write");
    return false;
  }
  ChannelDecl **table = nullptr;
  if (known > 0) {
    table = (ChannelDecl **)std::calloc(known, sizeof(ChannelDecl *));
    if (table == nullptr) {
      std::fclose(stream);
      zek_raiseError(ZEK_ERR_API_MEMORY, "Cannot allocate memory for %u parameters.", known);
      return false;
    }
    uint32_t k = 0;
    for (uint32_t i = 0; i < count; ++i) {
      if (isKnown == nullptr || !isKnown[i]) continue;
      if (k >= known) {
        std::free(table);
        std::fclose(stream);
        zek_raiseError(10002, "INTERNAL ERROR: knownParams-Counter %u is greater equal than numKnownParams %u.", k,
                       known);
        return false;
      }
      table[k++] = &records[i];
    }
    if (k != known) {
      std::free(table);
      std::fclose(stream);
      zek_raiseError(10003, "INTERNAL ERROR: knownParams-Counter %u does not equals numKnownParams %u.", k, known);
      return false;
    }
  }
  ZekbinWriter *writer = zek_write_zekbin_headerblock(stream, table, known, nullptr, 0, nullptr, 0, zek_isSutSynchron(), 1);
  int32_t result = writer != nullptr ? ZEKBIN_WRITE_OK : ZEKBIN_WRITE_NO_WRITER;
  if (writer != nullptr && known > 0) result = zek_write_zekbin_signaldatarow(writer, stream, nullptr, 0);
  std::free(table);
  if (writer != nullptr) {
    int32_t closed = zek_close_zekbin_datablock(writer, stream, nullptr, 1, 1);
    if (result == ZEKBIN_WRITE_OK) result = closed;
  }
  if (std::fclose(stream) != 0 && result == ZEKBIN_WRITE_OK) result = ZEKBIN_WRITE_STREAM;
  if (result != ZEKBIN_WRITE_OK) {
    zek_raiseError(ZEK_ERR_FILE, "ERROR: while writing file '%s': %s", name, zekbin_writeResultText(result));
    return false;
  }
  return true;
}

// The first binding of the parameter's name after the checks, linked to the parameter; null
// when there is none or a check failed (*failed).
SignalBinding *firstBinding(VmapiExecution *e, ChannelDecl *p, bool *failed) {
  for (SignalBinding *b = e->lists.inputHead; b != nullptr; b = b->next) {
    if (b->name == nullptr || std::strcmp(b->name, p->name) != 0) continue;
    if (b->dim != p->elementCount) {
      zek_raiseError(ZEK_ERR_API, "Wrong dimension of parameter '%s': %u in SuT but %u in ZEK.", p->name, b->dim,
                     p->elementCount);
      *failed = true;
      return nullptr;
    }
    // -1: the parameter's own type.
    if (b->physicalType == (uint32_t)ZEK_VMAPI_ANY_TYPE) b->physicalType = p->baseType;
    if (b->physicalType != p->baseType) {
      zek_raiseError(ZEK_ERR_API, "Wrong physical type of parameter '%s': '%s' in SuT but '%s' in ZEK.", p->name,
                     zek_type2text(b->physicalType), zek_type2text(p->baseType));
      *failed = true;
      return nullptr;
    }
    b->channel = p;
    b->dims = p->dims;
    b->dimCount = p->dimCount;
    b->needsScaling = vmapi_needsScaling(b);
    if (!vmapi_buildDims16(b)) {
      *failed = true;
      return nullptr;
    }
    return b;
  }
  return nullptr;
}

uint32_t countLater(VmapiExecution *e, const SignalBinding *first, const char *name) {
  uint32_t n = 0;
  bool seen = false;
  for (SignalBinding *b = e->lists.inputHead; b != nullptr; b = b->next) {
    if (b == first) seen = true;
    else if (seen && b->name != nullptr && std::strcmp(b->name, name) == 0) ++n;
  }
  return n;
}

// The exchange's own execution, bound by the frame's callback; it replaces the current one
// for as long as the exchange runs. The saved execution and the exchange's own stay, since
// nothing is closed, created or exchanged while the exchange runs.
struct Exchange {
  VmapiExecution *execution;
  VmapiExecution *saved;
  ZekErrorHandler previousHandler;
  const char *operation;
  VmapiRunning outer;  // what ran before the exchange
};

bool openExchange(VmapiPath path, ChannelDecl **records, uint32_t *count, const char *name) {
  FILE *stream = vmapi_openPath(path, "rb");
  if (stream == nullptr) {
    if (name != nullptr) zek_raiseError(ZEK_ERR_FILE, "ERROR: Unable to open file '%s' for %s access.", name, "read");
    return false;
  }
  int32_t result = zekbinFile_readFrom(stream, count);
  std::fclose(stream);
  if (result != 0) {
    zek_raiseError(ZEK_ERR_FILE, "Reading header of file '%s' failed.", name);
    return false;
  }
  if (*count == 0) return true;
  *records = zekbinFile_getVariables();
  if (*records == nullptr) {
    zek_raiseError(ZEK_ERR_FILE, "Reading data of file '%s' failed.", name);
    return false;
  }
  return true;
}

bool beginExchange(Exchange *x, VmapiExecution **out, ZekVmapiCallback bind) {
  x->execution = (VmapiExecution *)std::calloc(1, sizeof(VmapiExecution));
  if (x->execution == nullptr) {
    zek_raiseError(ZEK_ERR_API_MEMORY, "Unable to allocate memory for the execution.");
    return false;
  }
  x->execution->parameterExchange = 1;
  x->saved = vmapi_current();
  vmapi_setCurrent(x->execution);
  x->previousHandler = vmapi_installFatalHandler();
  x->outer = vmapi_enter(VMAPI_IN_EXCHANGE, x->operation);
  if (out != nullptr) *out = x->execution;
  if (bind != nullptr) bind();
  return true;
}

void endExchange(Exchange *x, VmapiExecution **out) {
  vmapi_close(x->execution, x->operation);
  if (out != nullptr) *out = nullptr;
  vmapi_setCurrent(x->saved);
  zek_setErrorHandler(x->previousHandler);
  vmapi_leave(x->outer);
}

// An exchange is made outside of any cycle, and one at a time: an inner one would release the
// parameters and the execution that the outer one still uses.
bool fromSuT(const char *operation, VmapiPath param, VmapiPath result, VmapiExecution **out,
             ZekVmapiCallback bind) {
  if (!vmapi_mayStart(operation, VMAPI_REFUSE_RUN)) return false;
  bool ownedParam = false, ownedResult = false;
  const char *paramName = vmapi_pathToMultibyte(param, &ownedParam);
  Multibyte p{paramName, ownedParam};
  if (paramName == nullptr) return false;
  const char *resultName = result.path != nullptr ? vmapi_pathToMultibyte(result, &ownedResult) : nullptr;
  Multibyte r{resultName, ownedResult};
  if (resultName == nullptr) {
    if (result.path == nullptr) zek_raiseError(ZEK_ERR_API, "zek_vmapi_exchangeParamsFromSuT(): no result file given.");
    return false;
  }
  // The record writer of the live execution writes over that file when it finishes.
  if (vmapi_isLiveRecordFile(resultName)) {
    zek_raiseError(ZEK_ERR_FILE, "ERROR: The result file '%s' is the record file of the running execution; it is not "
                   "overwritten.", resultName);
    return false;
  }
  ChannelDecl *records = nullptr;
  uint32_t count = 0;
  if (!openExchange(param, &records, &count, paramName)) return false;
  if (count == 0) return writeResultFile(result, resultName, nullptr, nullptr, 0, 0);
  uint8_t *isKnown = (uint8_t *)std::calloc(count, 1);
  if (isKnown == nullptr) {
    zek_raiseError(ZEK_ERR_API_MEMORY, "Cannot allocate memory for %u parameters.", count);
    return false;
  }
  Exchange x{};
  x.operation = operation;
  if (!beginExchange(&x, out, bind)) {
    std::free(isKnown);
    return false;
  }
  uint32_t known = 0;
  for (uint32_t i = 0; i < count; ++i) {
    ChannelDecl *rec = &records[i];
    bool failed = false;
    SignalBinding *b = firstBinding(x.execution, rec, &failed);
    if (failed) break;  // the fatal handler has ended the process
    if (b == nullptr) {
      zek_printf("Warning: Parameter '%s' is not known in the SuT. Value(s) will not be exchanged to ZEK.\r\n",
                 rec->name);
      continue;
    }
    if (!vmapi_paramFromSuT(b, rec, x.execution->roundScalingResults)) break;
    isKnown[i] = 1;
    ++known;
    for (uint32_t n = countLater(x.execution, b, rec->name); n > 0; --n)
      zek_printf("Warning: Parameter '%s' is bound more than once. Only value(s) of first binding will be exchanged "
                 "to ZEK.\r\n",
                 rec->name);
  }
  endExchange(&x, out);
  bool written = writeResultFile(result, resultName, records, isKnown, count, known);
  std::free(isKnown);
  return written;
}

bool toSuT(const char *operation, VmapiPath param, VmapiExecution **out, ZekVmapiCallback bind) {
  if (!vmapi_mayStart(operation, VMAPI_REFUSE_RUN)) return false;
  bool owned = false;
  const char *paramName = vmapi_pathToMultibyte(param, &owned);
  Multibyte p{paramName, owned};
  if (paramName == nullptr) return false;
  ChannelDecl *records = nullptr;
  uint32_t count = 0;
  if (!openExchange(param, &records, &count, paramName)) return false;
  if (count == 0) return true;
  Exchange x{};
  x.operation = operation;
  if (!beginExchange(&x, out, bind)) return false;
  bool ok = true;
  for (uint32_t i = 0; i < count && ok; ++i) {
    ChannelDecl *rec = &records[i];
    bool failed = false;
    SignalBinding *b = firstBinding(x.execution, rec, &failed);
    if (failed) {
      ok = false;
      break;
    }
    if (b == nullptr) {
      zek_printf("Warning: Parameter '%s' is unknown in the SuT. Value(s) will not be written to SuT.\r\n", rec->name);
      continue;
    }
    if (!vmapi_paramToSuT(b, rec, x.execution->roundScalingResults)) ok = false;
    for (uint32_t n = countLater(x.execution, b, rec->name); n > 0; --n)
      zek_printf("Warning: Parameter '%s' is bound more than once. Only value(s) of first binding will be written "
                 "to SuT.\r\n",
                 rec->name);
  }
  endExchange(&x, out);
  return ok;
}

}  // namespace

const char *zek_type2text(uint32_t type) {
  static const char *const names[] = {"uint8", "int8",  "uint16", "int16",  "uint32",
                                      "int32", "int64", "float",  "double", "bool"};
  return type >= 1 && type <= 10 ? names[type - 1] : "unknown type";
}

ZEK_EXPORT bool zek_vmapi_exchangeParamsFromSuT(const char *paramFile, const char *resultFile, VmapiExecution **out,
                                                ZekVmapiCallback bind) {
  if (paramFile == nullptr) {
    zek_raiseError(ZEK_ERR_API, "zek_vmapi_exchangeParamsFromSuT(): no parameter file given.");
    return false;
  }
  return fromSuT("zek_vmapi_exchangeParamsFromSuT", VmapiPath{paramFile, 0}, VmapiPath{resultFile, 0}, out, bind);
}

ZEK_EXPORT bool zek_vmapi_exchangeParamsFromSuT_v2(const wchar_t *paramFile, const wchar_t *resultFile,
                                                   VmapiExecution **out, ZekVmapiCallback bind) {
  if (paramFile == nullptr) {
    zek_raiseError(ZEK_ERR_API, "zek_vmapi_exchangeParamsFromSuT(): no parameter file given.");
    return false;
  }
  return fromSuT("zek_vmapi_exchangeParamsFromSuT_v2", VmapiPath{paramFile, 1}, VmapiPath{resultFile, 1}, out, bind);
}

ZEK_EXPORT bool zek_vmapi_exchangeParamsToSuT(const char *paramFile, VmapiExecution **out, ZekVmapiCallback bind) {
  if (paramFile == nullptr) {
    zek_raiseError(ZEK_ERR_API, "zek_vmapi_exchangeParamsToSuT(): no parameter file given.");
    return false;
  }
  return toSuT("zek_vmapi_exchangeParamsToSuT", VmapiPath{paramFile, 0}, out, bind);
}

ZEK_EXPORT bool zek_vmapi_exchangeParamsToSuT_v2(const wchar_t *paramFile, VmapiExecution **out,
                                                 ZekVmapiCallback bind) {
  if (paramFile == nullptr) {
    zek_raiseError(ZEK_ERR_API, "zek_vmapi_exchangeParamsToSuT(): no parameter file given.");
    return false;
  }
  return toSuT("zek_vmapi_exchangeParamsToSuT_v2", VmapiPath{paramFile, 1}, out, bind);
}
