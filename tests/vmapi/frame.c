/* A test frame in C, as frames are written: it runs the echo program through the library's
 * exports only, with variables bound by address, through address functions and through
 * getters and setters, and checks what one cycle brings back.
 *   vmapi_c_frame <image folder> <record file> */
#include <math.h>
#include <stdio.h>
#include <string.h>

#include "zek_vmapi.h"

static int32_t x = 41, y, rw = 100;
static double a[4] = {1.5, 2.5, 3.5, 4.5}, b[4], s = 0.25, t;
static int32_t g[6] = {1, 2, 3, 4, 5, 6}, h[6];
static uint8_t wide[65535];
static int32_t open4[4];
static int openDims = 0;
static int failures = 0;

static void *aAt(uint32_t index, uint8_t dimCount, const uint32_t *dims) {
  (void)dimCount;
  (void)dims;
  return &a[index];
}

static void *hAt(uint16_t index, uint8_t dimCount, const int16_t *dims16) {
  if (dimCount != 2 || dims16[0] != 2 || dims16[1] != 3) return NULL;
  return &h[index];
}

static void *openAt(uint16_t index, uint8_t dimCount, const int16_t *dims16) {
  /* An open dimension comes as -1. */
  if (dimCount == 1 && dims16[0] == -1) ++openDims;
  return &open4[index];
}

static bool sGet(void *value, uint16_t index, uint8_t dimCount, const int16_t *dims16) {
  (void)index;
  (void)dimCount;
  (void)dims16;
  memcpy(value, &s, sizeof s);
  return true;
}

static void bSet(const void *value, uint32_t index, uint8_t dimCount, const uint32_t *dims) {
  (void)dimCount;
  (void)dims;
  memcpy(&b[index], value, sizeof(double));
}

static void check(bool ok, const char *what) {
  if (ok) return;
  printf("FAILED: %s (error %u: %s)\n", what, (unsigned)zek_vmapi_getErrorCode(), zek_vmapi_getErrorMessage());
  ++failures;
}

int main(int argc, char **argv) {
  if (argc != 3) {
    printf("usage: %s <image folder> <record file>\n", argv[0]);
    return 2;
  }
  char program[4096];
  snprintf(program, sizeof program, "%s/echo.zvm", argv[1]);
  VmapiExecution *e = zek_vmapi_createExecution(program, argv[2]);
  check(e != NULL, "create");
  if (e == NULL) return 1;
  check(zek_vmapi_bindSignal(e, "x", ZEK_VMAPI_INT32, ZEK_VMAPI_INT32, 1, 0, 0, 1, &x, 1), "bind x");
  check(zek_vmapi_bindSignal(e, "y", ZEK_VMAPI_ANY_TYPE, ZEK_VMAPI_INT32, 1, 0, 0, 1, &y, 1), "bind y");
  check(zek_vmapi_bindSignalDynamic_v2(e, "a", ZEK_VMAPI_DOUBLE, ZEK_VMAPI_DOUBLE, 1, 0, 0, 1, aAt, 4), "bind a");
  check(zek_vmapi_bindSignalGetSet_v2(e, "b", ZEK_VMAPI_DOUBLE, ZEK_VMAPI_DOUBLE, 1, 0, 0, 1, NULL, bSet, 4),
        "bind b");
  check(zek_vmapi_bindSignalGetSet(e, "s", ZEK_VMAPI_DOUBLE, ZEK_VMAPI_DOUBLE, 1, 0, 0, 1, sGet, NULL, 1), "bind s");
  check(zek_vmapi_bindSignal(e, "t", ZEK_VMAPI_DOUBLE, ZEK_VMAPI_DOUBLE, 1, 0, 0, 1, &t, 1), "bind t");
  check(zek_vmapi_bindSignal(e, "rw", ZEK_VMAPI_INT32, ZEK_VMAPI_INT32, 1, 0, 0, 1, &rw, 1), "bind rw");
  check(zek_vmapi_enableReadWrite(e, "rw"), "read-write rw");
  check(zek_vmapi_bindSignal(e, "g", ZEK_VMAPI_INT32, ZEK_VMAPI_INT32, 1, 0, 0, 1, g, 6), "bind g");
  check(zek_vmapi_bindSignalDynamic(e, "h", ZEK_VMAPI_INT32, ZEK_VMAPI_INT32, 1, 0, 0, 1, hAt, 6), "bind h");
  check(zek_vmapi_bindSignal(e, "wide", ZEK_VMAPI_UINT8, ZEK_VMAPI_UINT8, 1, 0, 0, 1, wide, 65535), "bind wide");
  check(zek_vmapi_bindSignalDynamic(e, "open", ZEK_VMAPI_INT32, ZEK_VMAPI_INT32, 1, 0, 0, 1, openAt, 4), "bind open");
  check(zek_vmapi_bindSignalFinalize(), "finalize");
  int n = 0;
  for (SignalBinding *bound = zek_vmapi_getBoundSignals(); bound != NULL; bound = bound->nextBound) ++n;
  check(n == 11, "eleven bindings in the list of all bindings");
  check(zek_vmapi_getSignal(e, "rw") != NULL && zek_vmapi_getSignal(e, "rw")->readFromSuT == 1, "rw read-write");
  check(isnan(zek_vmapi_getSignal(e, "t")->upperLimit), "no limit is NaN");

  check(zek_vmapi_runCycle(e) == ZEK_VMAPI_GO_ON, "cycle 1");
  check(y == 42, "y = x + 1");
  check(memcmp(a, b, sizeof a) == 0, "b = a through the setter");
  check(t == 0.25, "t = s through the getter");
  check(memcmp(g, h, sizeof g) == 0, "h = g through the address function");
  check(openDims == 4, "open dimensions as -1");
  check(rw == 15, "a read-write output starts from the VM's value");
  rw = 100;
  check(zek_vmapi_runCycle(e) == ZEK_VMAPI_GO_ON, "cycle 2");
  check(rw == 110, "and takes the SuT's value from the second cycle on");
  check(zek_vmapi_getCycleCount() == 2, "two cycles");
  zek_vmapi_closeExecution(e);
  if (failures == 0) printf("C frame: all checks passed\n");
  return failures == 0 ? 0 : 1;
}
