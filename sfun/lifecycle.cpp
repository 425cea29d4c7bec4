// The lifecycle of the block: initialisation (read, load, match), the steps (inputs, cycle,
// outputs) and the ordered end.
#include "exchange.h"
#include "msgbox.h"
#include "sfun_internal.h"

namespace {

uint8_t goOn(void) { return g_sfun.zek_status == ZEK_SFUN_ERROR || g_sfun.zek_status == ZEK_SFUN_FINISHED ? 0 : 1; }

// The start-up's calls into this host (its report is zek_reportError); the block handle is
// their context.
void startUpMatch(void *block, bool quiet) {
  g_sfun.zek_Data = zek_getData();
  zek_find_signals_by_names(block);
  zek_find_functions_by_names(block);
  if (!quiet) zek_initializeClientFunctions();
}

void startUpOpenRecord(void *block, const char *recordFile, const char *programFile) {
  zek_open_outputfile(block, recordFile, programFile);
}

}  // namespace

bool zek_initializeVM(SfunHandle block, const char *programFile, const char *recordFile, double stepSize,
                      uint8_t quiet) {
  const SfunStartUp host = {block, &g_sfun.zek_status, &g_sfun.zek_bytecode, zek_reportError, startUpMatch,
                            startUpOpenRecord};
  return zek_sfun_startUp(&host, programFile, recordFile, stepSize, quiet != 0);
}

namespace {

uint8_t init(SfunHandle block, uint8_t quiet) {
  if (g_sfun.zek_status != ZEK_SFUN_NOT_INITIALISED) return goOn();
  if (g_sfun.zek_prog_file == nullptr || g_sfun.zek_bin_file == nullptr) {
    zek_reportError(block, "Internal error: ZVM or ZEKPBIN file path not set\n");
    return 0;
  }
  if (g_sfun.zek_io == nullptr) {
    zek_reportError(block, "Internal error: Simulink interface not set\n");
    return 0;
  }
  if (!zek_initializeVM(block, g_sfun.zek_prog_file, g_sfun.zek_bin_file, g_sfun.zek_stepsize, quiet)) return 0;
  return goOn();
}

}  // namespace

uint8_t zek_sfun_init(SfunHandle block, uint8_t quiet) {
  // The start-up runs the wrapper's callbacks (the error handler, the report, the fixed-point
  // handlers of initial outputs) over the program it loads and the tables it builds.
  if (!zek_sfun_beginExport(block, "zek_sfun_init", false)) return 0;
  uint8_t result = init(block, quiet);
  zek_sfun_endExport();
  return result;
}

void zek_runVM(SfunHandle block) {
  if (g_sfun.zek_status == ZEK_SFUN_LOADED) g_sfun.zek_status = ZEK_SFUN_RUNNING;
  if (g_sfun.zek_status == ZEK_SFUN_NOT_INITIALISED) {
    zek_reportError(block,
                    "ZEK S-Function has not been initialized. Please, initialize ZEK S-Function before starting it.");
    return;
  }
  if (g_sfun.zek_status != ZEK_SFUN_RUNNING) return;
  // 1. The IDE sees the inputs of this cycle.
  zek_sharedmem_beforecycle(zek_getData());
  // Rows are timed by the count before the cycle: the row of cycle n has time n x density.
  uint32_t count = zek_getCycleCount();
  uint64_t density = zek_getDensity();
  bool sut = (zek_isSutSynchron() & 0xFFu) != 0;
  // 2. A SuT-synchronous program records the previous cycle now, with the SuT's answer to it.
  if (sut && g_sfun.zek_output_fileStream != nullptr && count != 0) {
    zek_sfun_writeRow(block, (uint64_t)(count - 1) * density);
    if (zek_sfun_failed()) {
      zek_close_outputfile(block, true);
      return;
    }
  }
  // 3. The cycle and the IDE's part after it.
  uint32_t result = zek_sfun_runCycle(&g_sfun.guard);
  zek_sharedmem_aftercycle((int32_t)result);
  zek_sfun_noteCycle((uint64_t)count * density);
  // 4. An error ends the recording.
  if (result == ZEK_CYCLE_ERROR) {
    zek_reportError(block, zek_getErrorMessage());
    zek_close_outputfile(block, true);
    return;
  }
  // 5. Otherwise the cycle's row, for a program that is not SuT-synchronous.
  if (!sut && g_sfun.zek_output_fileStream != nullptr) {
    zek_sfun_writeRow(block, (uint64_t)count * density);
    if (zek_sfun_failed()) {
      zek_close_outputfile(block, true);
      return;
    }
  }
  // 6. The end of the test finishes the record file at once.
  if (result == ZEK_CYCLE_TEST_ENDED) {
    g_sfun.zek_status = ZEK_SFUN_FINISHED;
    zek_close_outputfile(block, true);
  }
}

// The three parts of a simulation step, each a step of its own for the wrapper's callbacks
// that run inside it (fixed-point handlers, MATLAB functions, message boxes, the clock).
uint8_t zek_sfun_update(SfunHandle block) {
  if (!zek_sfun_beginExport(block, "zek_sfun_update", true)) return 0;
  if (g_sfun.zek_status == ZEK_SFUN_LOADED) g_sfun.zek_status = ZEK_SFUN_RUNNING;
  if (g_sfun.zek_status == ZEK_SFUN_RUNNING) zek_readInputValues(block);
  zek_sfun_endExport();
  return goOn();
}

uint8_t zek_sfun_cycle(SfunHandle block) {
  if (!zek_sfun_beginExport(block, "zek_sfun_cycle", true)) return 0;
  if (g_sfun.zek_status != ZEK_SFUN_ERROR) zek_runVM(block);
  zek_sfun_endExport();
  return goOn();
}

uint8_t zek_sfun_write(SfunHandle block) {
  if (!zek_sfun_beginExport(block, "zek_sfun_write", true)) return 0;
  zek_writeOutputValues(block);
  zek_sfun_endExport();
  return goOn();
}

// The ordered end: the record file is finished while the program it records still exists,
// the IDE gets the final state and the dialog ends. The program's bytes stay until the next
// initialisation loads others: the VM keeps pointing into them (names, code), and its
// exports may still be called.
void zek_sfun_terminate(void) {
  if (!zek_sfun_beginExport(nullptr, "zek_sfun_terminate", false)) return;
  zek_close_outputfile(nullptr, false);
  zek_sfun_endExchange(g_sfun.zek_status == ZEK_SFUN_ERROR);
  msgbox_shutdown();
  zek_sfun_releaseOffsetTables();
  g_sfun.zek_status = ZEK_SFUN_NOT_INITIALISED;
  g_sfun.zek_Data = nullptr;
  zek_sfun_endExport();
}
