// The lifecycle of the block: initialisation (read, load, match), the steps (inputs, cycle,
// outputs) and the ordered end.
#include "exchange.h"
#include "msgbox.h"
#include "sfun_internal.h"

namespace {

uint8_t goOn(void) { return zek_status == ZEK_SFUN_ERROR || zek_status == ZEK_SFUN_FINISHED ? 0 : 1; }

bool reportUnlessQuiet(SfunHandle block, uint8_t quiet, const char *text) {
  if (!quiet) zek_reportError(block, text);
  return false;
}

}  // namespace

bool zek_initializeVM(SfunHandle block, const char *programFile, const char *recordFile, double stepSize,
                      uint8_t quiet) {
  // The host dictates the cycle: an inherited or otherwise unusable step size cannot be one.
  uint32_t density = zek_sfun_stepMicroseconds(stepSize);
  if (density == 0) {
    zek_sfun_reportf(block,
                     "Invalid step size %g s. The ZEK S-Function needs a fixed step size of at least one microsecond.",
                     stepSize);
    return false;
  }
  // 1.-3. The whole program file into a buffer that the loaded program keeps pointing into.
  uint32_t size = 0;
  const char *failure = nullptr;
  uint8_t *bytes = zek_sfun_readProgramFile(programFile, &size, &failure);
  if (bytes == nullptr) return reportUnlessQuiet(block, quiet, failure);
  // 4. The banner.
  if (!quiet) zek_sfun_printBanner(programFile, recordFile, size);
  // 5.-6. Load and match. The loader knows the size read: a file shorter than its image fails
  // as any load does, before a byte beyond the file is read.
  zek_sfun_free(zek_bytecode);
  zek_bytecode = bytes;
  if (zek_loadSized(zek_bytecode, (uint64_t)size) != 0) {
    zek_reportError(block, zek_getErrorMessage());
  } else {
    zek_status = ZEK_SFUN_LOADED;
    zek_Data = zek_getData();
    zek_find_signals_by_names(block);
    zek_find_functions_by_names(block);
    if (!quiet) zek_initializeClientFunctions();
  }
  // 7.-8. The cycle length and the record file.
  if (zek_setDensity(density) != 0 && !zek_sfun_failed()) zek_reportError(block, zek_getErrorMessage());
  if (!quiet && !zek_sfun_failed()) zek_open_outputfile(block, recordFile, programFile);
  return true;
}

uint8_t zek_sfun_init(SfunHandle block, uint8_t quiet) {
  if (zek_status != ZEK_SFUN_NOT_INITIALISED) return goOn();
  if (zek_prog_file == nullptr || zek_bin_file == nullptr) {
    zek_reportError(block, "Internal error: ZVM or ZEKPBIN file path not set\n");
    return 0;
  }
  if (zek_io == nullptr) {
    zek_reportError(block, "Internal error: Simulink interface not set\n");
    return 0;
  }
  if (!zek_initializeVM(block, zek_prog_file, zek_bin_file, zek_stepsize, quiet)) return 0;
  return goOn();
}

void zek_runVM(SfunHandle block) {
  if (zek_status == ZEK_SFUN_LOADED) zek_status = ZEK_SFUN_RUNNING;
  if (zek_status == ZEK_SFUN_NOT_INITIALISED) {
    zek_reportError(block,
                    "ZEK S-Function has not been initialized. Please, initialize ZEK S-Function before starting it.");
    return;
  }
  if (zek_status != ZEK_SFUN_RUNNING) return;
  // 1. The IDE sees the inputs of this cycle.
  zek_sharedmem_beforecycle(zek_getData());
  // Rows are timed by the count before the cycle: the row of cycle n has time n x density.
  uint32_t count = zek_getCycleCount();
  uint64_t density = zek_getDensity();
  bool sut = (zek_isSutSynchron() & 0xFFu) != 0;
  // 2. A SuT-synchronous program records the previous cycle now, with the SuT's answer to it.
  if (sut && zek_output_fileStream != nullptr && count != 0) {
    zek_sfun_writeRow(block, (uint64_t)(count - 1) * density);
    if (zek_sfun_failed()) {
      zek_close_outputfile(block, true);
      return;
    }
  }
  // 3. The cycle and the IDE's part after it.
  uint32_t result = zek_runCycle();
  zek_sharedmem_aftercycle((int32_t)result);
  zek_sfun_noteCycle((uint64_t)count * density);
  // 4. An error ends the recording.
  if (result == ZEK_CYCLE_ERROR) {
    zek_reportError(block, zek_getErrorMessage());
    zek_close_outputfile(block, true);
    return;
  }
  // 5. Otherwise the cycle's row, for a program that is not SuT-synchronous.
  if (!sut && zek_output_fileStream != nullptr) {
    zek_sfun_writeRow(block, (uint64_t)count * density);
    if (zek_sfun_failed()) {
      zek_close_outputfile(block, true);
      return;
    }
  }
  // 6. The end of the test finishes the record file at once.
  if (result == ZEK_CYCLE_TEST_ENDED) {
    zek_status = ZEK_SFUN_FINISHED;
    zek_close_outputfile(block, true);
  }
}

uint8_t zek_sfun_update(SfunHandle block) {
  if (zek_status == ZEK_SFUN_LOADED) zek_status = ZEK_SFUN_RUNNING;
  if (zek_status == ZEK_SFUN_RUNNING) zek_readInputValues(block);
  return goOn();
}

uint8_t zek_sfun_cycle(SfunHandle block) {
  if (zek_status != ZEK_SFUN_ERROR) zek_runVM(block);
  return goOn();
}

uint8_t zek_sfun_write(SfunHandle block) {
  zek_writeOutputValues(block);
  return goOn();
}

// The ordered end: the record file is finished while the program it records still exists,
// the IDE gets the final state and the dialog ends. The program's bytes stay until the next
// initialisation loads others: the VM keeps pointing into them (names, code), and its
// exports may still be called.
void zek_sfun_terminate(void) {
  zek_close_outputfile(nullptr, false);
  zek_sfun_endExchange(zek_status == ZEK_SFUN_ERROR);
  msgbox_shutdown();
  zek_sfun_releaseOffsetTables();
  zek_status = ZEK_SFUN_NOT_INITIALISED;
  zek_Data = nullptr;
}
