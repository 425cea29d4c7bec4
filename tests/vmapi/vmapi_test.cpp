// The embedding library through its exports, as a frame uses it: executions, bindings and
// their adjustments, the completeness check and record files read back with the decoder.
#include "vmapi_support.h"
#include "zek_vm.h"

namespace {

using namespace vt;

// ---- Executions --------------------------------------------------------------------------

TEST(VmapiExecutions, ProgramFilesThatCannotBeRunFailCleanly) {
  std::string empty = tempPath("empty.zvm"), cut = tempPath("cut.zvm");
  writeAll(empty, {});
  Bytes whole = readAll(image("echo.zvm"));
  writeAll(cut, Bytes(whole.begin(), whole.begin() + (long)whole.size() / 2));
  struct Row {
    std::string path;
    uint16_t code;
    std::string start;
  } rows[] = {
      {tempPath("missing.zvm"), 19, "ERROR: Cannot detect file size of file '" + tempPath("missing.zvm") + "'."},
      {tempDir(), 19, "ERROR: Cannot detect file size of file"},
      {empty, 11, "Malformed program image. The file of 0 bytes is shorter than its header."},
      {cut, 11, "Malformed program image. The program announces"},
  };
  for (const Row &row : rows) {
    EXPECT_EQ(zek_vmapi_createExecution(row.path.c_str(), nullptr), nullptr) << row.path;
    EXPECT_EQ(zek_vmapi_getErrorCode(), row.code) << row.path;
    EXPECT_EQ(message().rfind(row.start, 0), 0u) << message();
  }
  // A record file that cannot be opened fails the creation too.
  std::string bad = tempDir() + "no/such/folder.zekbin";
  EXPECT_EQ(zek_vmapi_createExecution(image("echo.zvm").c_str(), bad.c_str()), nullptr);
  EXPECT_EQ(message(), "ERROR: Unable to open file '" + bad + "' for write access.");
  // Nor is the program file taken for the record file, under the same name or another one.
  std::string program = tempPath("program.zvm");
  writeAll(program, whole);
  for (const std::string &record : {program, tempDir() + "./" + std::filesystem::path(program).filename().string()}) {
    EXPECT_EQ(zek_vmapi_createExecution(program.c_str(), record.c_str()), nullptr) << record;
    EXPECT_EQ(zek_vmapi_getErrorCode(), 19);
    EXPECT_EQ(message(), "ERROR: The record file '" + record + "' is the program file; it is not overwritten.");
    EXPECT_EQ(readAll(program), whole);
  }
  zek_vmapi_resetError();
}

// A program file that the loader refuses before it reads the program (shorter than its image)
// fails as any other refused file does: the message carries the context of the reset VM, not
// that of the run it replaces, and that run is replaced all the same, its record file finished.
TEST(VmapiExecutions, AFileRefusedBeforeLoadingReplacesTheRunAsAnyFailedLoad) {
  Bytes whole = readAll(image("notsync.zvm"));
  std::string cut = tempPath("replacing_cut.zvm"), wrongMagic = tempPath("replacing_magic.zvm");
  writeAll(cut, Bytes(whole.begin(), whole.begin() + (long)whole.size() / 2));
  Bytes magic = whole;
  magic[0] = 'X';
  writeAll(wrongMagic, magic);
  struct Row {
    std::string program;
    uint16_t code;
    std::string start;
  } rows[] = {
      {cut, 11, "Malformed program image. The program announces "},
      {wrongMagic, 10, "Wrong magic key."},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.program);
    std::string record = tempPath("replaced_run.zekbin");
    int32_t x = 1, y = 0;
    VmapiExecution *running = zek_vmapi_createExecution(image("notsync.zvm").c_str(), record.c_str());
    ASSERT_NE(running, nullptr) << message();
    ASSERT_TRUE(zek_vmapi_bindSignal(running, "x", 6, 6, 1, 0, 0, 1, &x, 1));
    ASSERT_TRUE(zek_vmapi_bindSignal(running, "y", 6, 6, 1, 0, 0, 1, &y, 1));
    for (int k = 0; k < 7; ++k) ASSERT_EQ(zek_vmapi_runCycle(running), 0) << message();
    EXPECT_EQ(zek_vmapi_createExecution(row.program.c_str(), nullptr), nullptr);
    EXPECT_EQ(zek_vmapi_getErrorCode(), row.code);
    EXPECT_EQ(message().rfind(row.start, 0), 0u) << message();
    std::string whole = zek_vmapi_getErrorMessage();
    std::string context = " (error=" + std::to_string(row.code) + ", address=0x0000, time=0.000000s)";
    EXPECT_EQ(whole.substr(whole.size() - std::min(whole.size(), context.size())), context) << whole;
    // The run before is replaced: it drives nothing, and its record file is finished.
    EXPECT_EQ(zek_vmapi_runCycle(running), 1);
    EXPECT_EQ(zek_vmapi_getErrorCode(), 119) << message();
    EXPECT_EQ(decode(record).rows(), 7);
    zek_vmapi_closeExecution(running);
    EXPECT_EQ(zek_runCycle(), 1u) << "no program stays loaded";
    zek_vmapi_resetError();
  }
}

TEST(VmapiExecutions, TwoExecutionsCloseInEitherOrder) {
  for (bool oldFirst : {true, false}) {
    SCOPED_TRACE(oldFirst ? "old closed first" : "new closed first");
    std::string r1 = tempPath(std::string("first_") + (oldFirst ? "a" : "b")), r2 = tempPath(std::string("second_") + (oldFirst ? "a" : "b"));
    int32_t x1 = 1, y1 = 0, x2 = 5, y2 = 0;
    VmapiExecution *first = zek_vmapi_createExecution(image("notsync.zvm").c_str(), r1.c_str());
    ASSERT_NE(first, nullptr);
    ASSERT_TRUE(zek_vmapi_bindSignal(first, "x", 6, 6, 1, 0, 0, 1, &x1, 1));
    ASSERT_TRUE(zek_vmapi_bindSignal(first, "y", 6, 6, 1, 0, 0, 1, &y1, 1));
    EXPECT_EQ(zek_vmapi_runCycle(first), 0);
    VmapiExecution *second = zek_vmapi_createExecution(image("notsync.zvm").c_str(), r2.c_str());
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(zek_vmapi_getBoundSignals(), nullptr) << "a new execution starts without bindings";
    ASSERT_TRUE(zek_vmapi_bindSignal(second, "x", 6, 6, 1, 0, 0, 1, &x2, 1));
    ASSERT_TRUE(zek_vmapi_bindSignal(second, "y", 6, 6, 1, 0, 0, 1, &y2, 1));
    // The replaced execution no longer drives the VM.
    EXPECT_EQ(zek_vmapi_runCycle(first), 1);
    EXPECT_EQ(zek_vmapi_getErrorCode(), 119);
    if (oldFirst) {
      zek_vmapi_closeExecution(first);
      ASSERT_NE(zek_vmapi_getBoundSignals(), nullptr) << "closing the old one leaves the new one's bindings";
      EXPECT_STREQ(zek_vmapi_getBoundSignals()->name, "x");
      EXPECT_EQ(zek_vmapi_runCycle(second), 0);
      EXPECT_EQ(y2, 6);
      zek_vmapi_closeExecution(second);
    } else {
      EXPECT_EQ(zek_vmapi_runCycle(second), 0);
      zek_vmapi_closeExecution(second);
      EXPECT_EQ(zek_vmapi_getBoundSignals(), nullptr) << "no head points at freed bindings";
      zek_vmapi_closeExecution(first);
    }
    EXPECT_EQ(zek_vmapi_getBoundSignals(), nullptr);
    // The closed program's bytes are gone; the VM no longer runs from them.
    EXPECT_EQ(zek_runCycle(), 1u);
    EXPECT_EQ(zek_vmapi_getErrorCode(), 123);
    // Both record files are complete: the first one was finished when its program was replaced.
    zd::File f1 = decode(r1), f2 = decode(r2);
    EXPECT_EQ(f1.rows(), 1);
    EXPECT_EQ(f2.rows(), 1);
    zek_vmapi_resetError();
  }
}

TEST(VmapiExecutions, PassThroughsAndNan) {
  double n = zek_vmapi_NAN();
  uint64_t bits;
  std::memcpy(&bits, &n, 8);
  EXPECT_EQ(bits, 0xFFF8000000000000ull);
  EXPECT_EQ(zek_vmapi_getIntTypeEnum(3, true), 0);
  EXPECT_TRUE(zek_vmapi_hasError());
  EXPECT_EQ(zek_vmapi_getErrorCode(), 119);
  EXPECT_EQ(message(), "Failed to determine type enum value: No signed integer based data type with byte size 3 supported.");
  zek_vmapi_resetError();
  EXPECT_FALSE(zek_vmapi_hasError());
  struct Row {
    uint8_t size;
    bool isSigned;
    int32_t type;
  } rows[] = {{1, false, 1}, {1, true, 2}, {2, false, 3}, {2, true, 4}, {4, false, 5}, {4, true, 6}, {8, true, 7}, {8, false, 0}};
  for (const Row &r : rows) {
    EXPECT_EQ(zek_vmapi_getIntTypeEnum(r.size, r.isSigned), r.type) << (int)r.size << " " << r.isSigned;
    EXPECT_EQ(zek_vmapi_hasError(), r.type == 0);
    zek_vmapi_resetError();
  }
  EXPECT_STREQ(zek_vmapi_getErrorMessage(), "");
}

// ---- Bindings ----------------------------------------------------------------------------

TEST_F(VmapiFrame, BindValidationTable) {
  create("echo.zvm");
  static int32_t var;
  ZekVmapiGetter16 getter = [](void *, uint16_t, uint8_t, const int16_t *) { return true; };
  struct Row {
    const char *what;
    std::function<bool()> bind;
    bool result;
    uint16_t code;
    std::string message;
  };
  Row rows[] = {
      {"unknown", [&] { return zek_vmapi_bindSignal(e, "nope", 6, 6, 1, 0, 0, 1, &var, 1); }, false, 119,
       "Signal \"nope\" does not exist."},
      {"suppressed", [&] { return zek_vmapi_bindSignal(e, "sup_x", 6, 6, 1, 0, 0, 1, &var, 1); }, true, 0, ""},
      {"wrong type", [&] { return zek_vmapi_bindSignal(e, "x", 9, 6, 1, 0, 0, 1, &var, 1); }, false, 119,
       "Signal \"x\" has wrong physical base type."},
      {"dim smaller", [&] { return zek_vmapi_bindSignal(e, "a", 9, 9, 1, 0, 0, 1, &var, 3); }, false, 119,
       "Dimension mismatch: Signal \"a\" has a dimension of 4, but specified dim is 3."},
      {"dim larger", [&] { return zek_vmapi_bindSignal(e, "a", -1, 9, 1, 0, 0, 1, sut.a, 10); }, true, 0, ""},
      {"null address", [&] { return zek_vmapi_bindSignal(e, "x", 6, 6, 1, 0, 0, 1, nullptr, 1); }, false, 119,
       "bind \"x\" not allowed with a NULL pointer as value address."},
      {"null function", [&] { return zek_vmapi_bindSignalDynamic_v2(e, "x", 6, 6, 1, 0, 0, 1, nullptr, 1); }, false,
       119, "bind \"x\" not allowed with a NULL pointer as value address."},
      {"no getter, no setter", [&] { return zek_vmapi_bindSignalGetSet(e, "x", 6, 6, 1, 0, 0, 1, nullptr, nullptr, 1); },
       false, 119, "bind \"x\" not allowed with a NULL pointer as value address."},
      {"unknown bind type", [&] { return zek_vmapi_bindSignal(e, "x", 6, 11, 1, 0, 0, 1, &var, 1); }, false, 119,
       "Signal \"x\" has an unknown bind type 11."},
      {"32-bit dimension, 16-bit binding",
       [&] { return zek_vmapi_bindSignalGetSet(e, "wide", 1, 1, 1, 0, 0, 1, getter, nullptr, 65535); }, false, 11,
       "Signal 'wide' has 32bit dimension which is not supported using 16bit binding function"},
  };
  for (const Row &row : rows) {
    zek_vmapi_resetError();
    EXPECT_EQ(row.bind(), row.result) << row.what;
    EXPECT_EQ(zek_vmapi_getErrorCode(), row.code) << row.what;
    EXPECT_EQ(message(), row.message) << row.what;
  }
  // Only the larger dim made a binding, and it covers the channel's four elements.
  SignalBinding *all = zek_vmapi_getBoundSignals();
  ASSERT_NE(all, nullptr);
  EXPECT_STREQ(all->name, "a");
  EXPECT_EQ(all->dim, 4u);
  EXPECT_EQ(all->physicalType, 9u);
  EXPECT_EQ(all->nextBound, nullptr);
}

TEST_F(VmapiFrame, BindingRecordsAndScalingFlags) {
  create("echo.zvm");
  int16_t raw = 0;
  ASSERT_TRUE(zek_vmapi_bindSignal(e, "s", 9, 4, 1, 0, 0, 1, &raw, 1));
  ASSERT_TRUE(zek_vmapi_bindSignal(e, "t", 9, 9, 1, 0, 0, 1, &sut.t, 1));
  ASSERT_TRUE(zek_vmapi_bindSignal(e, "x", 6, 6, 1, std::nan(""), 0, 1, &sut.x, 1));
  SignalBinding *s = zek_vmapi_getSignal(e, "s"), *t = zek_vmapi_getSignal(e, "t"), *x = zek_vmapi_getSignal(e, "x");
  ASSERT_TRUE(s && t && x);
  EXPECT_EQ(s->needsScaling, 1) << "identity coefficients, int16 on double";
  EXPECT_EQ(t->needsScaling, 0);
  EXPECT_EQ(x->needsScaling, 1) << "a NaN coefficient counts as different";
  EXPECT_EQ(s->readFromSuT, 1);
  EXPECT_EQ(t->writtenToSuT, 1);
  EXPECT_EQ(t->target.fixed.groupSize, 1u);
  EXPECT_EQ(t->target.fixed.groupStride, 8u);
  EXPECT_EQ(s->dimCount, 0);
  EXPECT_TRUE(std::isnan(t->lowerLimit) && !t->lowerLimitSet);
  // Bound twice: no unique handle.
  ASSERT_TRUE(zek_vmapi_bindSignal(e, "t", 9, 9, 1, 0, 0, 1, &sut.s, 1));
  EXPECT_EQ(zek_vmapi_getSignal(e, "t"), nullptr);
  EXPECT_EQ(message(), "Unable to return unique signal handle for 't' since it is bound more than once.");
  zek_vmapi_resetError();
  EXPECT_EQ(zek_vmapi_getSignal(e, "y"), nullptr);
  EXPECT_FALSE(zek_vmapi_hasError());
  // Dimensions of any channel, bound or not.
  EXPECT_EQ(zek_vmapi_getDim(e, "a"), 4);
  EXPECT_EQ(zek_vmapi_getDim(e, "unknown"), 0);
  EXPECT_FALSE(zek_vmapi_hasError());
  EXPECT_EQ(zek_vmapi_getDim_v2(e, "huge"), 70000u);
  EXPECT_EQ(zek_vmapi_getDim(e, "huge"), 70000 - 65536);
  EXPECT_EQ(zek_vmapi_getErrorCode(), 18);
  EXPECT_EQ(message(),
            "Signal huge has 32bit dimension (dim=70000) which is not supported by deprecated function "
            "zek_vmapi_getDim(). Use zek_vmapi_getDim_v2() instead.");
}

TEST(VmapiFinalize, AsksForEveryTestInputAndOutputThatNeedsABinding) {
  VmapiExecution *e = zek_vmapi_createExecution(image("finalize.zvm").c_str(), nullptr);
  ASSERT_NE(e, nullptr);
  EXPECT_FALSE(zek_vmapi_bindSignalFinalize());
  EXPECT_EQ(zek_vmapi_getErrorCode(), 119);
  EXPECT_EQ(message(), "Missing binding for ZEK input/output signal(s): i1, i2, o1, pr")
      << "no-binding flag, LOCAL exchange mode and function arguments are not asked for";
  int32_t v[4] = {};
  ASSERT_TRUE(zek_vmapi_bindSignal(e, "i1", 6, 6, 1, 0, 0, 1, &v[0], 1));
  ASSERT_TRUE(zek_vmapi_bindSignal(e, "o1", 6, 6, 1, 0, 0, 1, &v[1], 1));
  EXPECT_FALSE(zek_vmapi_bindSignalFinalize());
  EXPECT_EQ(message(), "Missing binding for ZEK input/output signal(s): i2, pr");
  ASSERT_TRUE(zek_vmapi_bindSignal(e, "i2", 6, 6, 1, 0, 0, 1, &v[2], 1));
  ASSERT_TRUE(zek_vmapi_bindSignal(e, "pr", 6, 6, 1, 0, 0, 1, &v[3], 1));
  zek_vmapi_resetError();
  EXPECT_TRUE(zek_vmapi_bindSignalFinalize());
  EXPECT_FALSE(zek_vmapi_hasError());
  zek_vmapi_closeExecution(e);
}

TEST(VmapiFinalize, TheMessageEndsWithTheNameThatCrossesTheMark) {
  VmapiExecution *e = zek_vmapi_createExecution(image("many.zvm").c_str(), nullptr);
  ASSERT_NE(e, nullptr);
  // A name with a format directive is text, never a format.
  EXPECT_FALSE(zek_vmapi_bindSignalFinalize());
  std::string m = message();
  std::string prefix = "Missing binding for ZEK input/output signal(s): ";
  ASSERT_EQ(m.rfind(prefix, 0), 0u);
  const size_t name = 30, sep = 2;  // "an_input_with_a_long_name_0000", ", "
  size_t names = (m.size() - prefix.size() + sep) / (name + sep);
  EXPECT_EQ(prefix.size() + names * name + (names - 1) * sep, m.size());
  EXPECT_GE(m.size(), 7000u);
  EXPECT_LT(m.size() - name - sep, 7000u) << "the text before the last name was below the mark";
  char last[64];
  std::snprintf(last, sizeof last, "an_input_with_a_long_name_%04zu", names - 1);
  EXPECT_EQ(m.substr(m.size() - name), last);
  zek_vmapi_closeExecution(e);
  zek_vmapi_resetError();
}

TEST_F(VmapiFrame, IndexCoefficientsLimitsAndReadWriteAdjustBindings) {
  create("echo.zvm");
  bindEcho();
  ASSERT_TRUE(zek_vmapi_bindSignalDynamic(e, "h", 6, 6, 1, 0, 0, 1,
                                          [](uint16_t, uint8_t, const int16_t *) -> void * { return nullptr; }, 6));
  struct Row {
    const char *what;
    std::function<bool()> call;
    bool result;
    std::string message;
  } rows[] = {
      {"negative", [&] { return zek_vmapi_setIndexCoeffs(e, "g", -1, 4, 0); }, false,
       "zek_vmapi_setIndexCoeffs(__, \"g\", -1, 4, 0) has been called with negative coefficients. Consider using "
       "zek_vmapi_setIndexCoeffs_v2() for coefficients >= 2^15."},
      {"group size 0", [&] { return zek_vmapi_setIndexCoeffs_v2(e, "g", 0, 4, 0); }, false,
       "zek_vmapi_setIndexCoeffs_v2(__, \"g\", 0, 4, 0): a group size of 0 is not allowed."},
      {"dynamic binding", [&] { return zek_vmapi_setIndexCoeffs_v2(e, "h", 1, 4, 0); }, false,
       "Signal \"h\" is bound using zek_vmapi_bindSignalDynamic_v2() or zek_vmapi_bindSignalGetSet_v2(). You cannot "
       "use zek_vmapi_setIndexCoeffs_v2() for such a signal."},
      {"unknown", [&] { return zek_vmapi_setIndexCoeffs_v2(e, "nope", 1, 4, 0); }, false,
       "Signal \"nope\" is not a ZEK signal that has been bound using zek_vmapi_bindSignal_v2() before."},
      {"suppressed", [&] { return zek_vmapi_setIndexCoeffs_v2(e, "sup_1", 1, 4, 0); }, true, ""},
      {"limits of an input", [&] { return zek_vmapi_setLimits(e, "x", 0, 1); }, false,
       "Signal \"x\" is not a ZEK output signal that has been bound using zek_vmapi_bindSignal_v2() before."},
      {"read-write input", [&] { return zek_vmapi_enableReadWrite(e, "x"); }, false,
       "Signal \"x\" is not a ZEK output signal that has been bound using zek_vmapi_bindSignal_v2() before."},
  };
  for (const Row &row : rows) {
    zek_vmapi_resetError();
    EXPECT_EQ(row.call(), row.result) << row.what;
    EXPECT_EQ(message(), row.message) << row.what;
  }
  SignalBinding *g = zek_vmapi_getSignal(e, "g");
  EXPECT_TRUE(zek_vmapi_setIndexCoeffs_v2(e, "g", 1, 4, 0));
  EXPECT_EQ(g->indexCoeffsSet, 0) << "the default coefficients";
  EXPECT_TRUE(zek_vmapi_setIndexCoeffs(e, "g", 3, 100, 8));
  EXPECT_EQ(g->indexCoeffsSet, 1);
  EXPECT_EQ(g->target.fixed.groupStride, 100u);
  // Raw limits saturate to the bind type's range; NaN is no limit.
  uint8_t small = 0;
  ASSERT_TRUE(zek_vmapi_bindSignal(e, "y", 6, 1, 1, 0, 0, 1, &small, 1));
  EXPECT_TRUE(zek_vmapi_setLimits(e, "y", -5, 300));
  for (SignalBinding *b = zek_vmapi_getBoundSignals(); b != nullptr; b = b->nextBound) {
    if (std::strcmp(b->name, "y") != 0) continue;
    EXPECT_TRUE(b->lowerLimitSet && b->upperLimitSet);
    EXPECT_EQ(b->lowerLimit, -5.0);
    if (b->bindType == 1) {
      EXPECT_EQ(b->lowerLimitRaw.u8, 0);
      EXPECT_EQ(b->upperLimitRaw.u8, 255) << "300 does not wrap to 44";
    } else {
      EXPECT_EQ(b->upperLimitRaw.i32, 300);
    }
  }
  EXPECT_TRUE(zek_vmapi_setLimits(e, "t", zek_vmapi_NAN(), 2.5));
  EXPECT_FALSE(zek_vmapi_getSignal(e, "t")->lowerLimitSet);
  EXPECT_TRUE(zek_vmapi_getSignal(e, "t")->upperLimitSet);
  // Read-write of a binding with a 16-bit table: the copy has a table of its own.
  EXPECT_TRUE(zek_vmapi_enableReadWrite(e, "h"));
  EXPECT_TRUE(zek_vmapi_enableReadWrite(e, "h")) << "a second call makes no second copy";
  EXPECT_TRUE(zek_vmapi_enableReadWrite(e, "sup_out"));
  zek_vmapi_resetError();
}

TEST_F(VmapiFrame, IsUpdatedAnswersPerElementAndForTheWholeSignal) {
  create("echo.zvm");
  bindEcho();
  SignalBinding *b = zek_vmapi_getSignal(e, "b"), *y = zek_vmapi_getSignal(e, "y");
  EXPECT_FALSE(zek_vmapi_isUpdated(e, nullptr, 0));
  EXPECT_FALSE(zek_vmapi_isUpdated(e, b, -1));
  ASSERT_EQ(zek_vmapi_runCycle(e), 0);
  EXPECT_TRUE(zek_vmapi_isUpdated(e, y, 0));
  EXPECT_TRUE(zek_vmapi_isUpdated(e, b, 3));
  EXPECT_TRUE(zek_vmapi_isUpdated(e, b, -1));
  EXPECT_FALSE(zek_vmapi_isUpdated(e, b, 4));
  EXPECT_EQ(zek_vmapi_getErrorCode(), 111);
  EXPECT_EQ(message(), "zek_vmapi_isUpdated(): Signal 'b' has dim=4, but index provided is 4 (out of range).");
}

// ---- Record files ------------------------------------------------------------------------

TEST(VmapiRecordFiles, RowsAndEventsOfSutSynchronousAndOtherPrograms) {
  for (bool sut : {false, true}) {
    SCOPED_TRACE(sut ? "SuT-synchronous" : "not SuT-synchronous");
    std::string path = tempPath(sut ? "sut" : "other");
    VmapiExecution *e = zek_vmapi_createExecution(image(sut ? "sutsync.zvm" : "notsync.zvm").c_str(), path.c_str());
    ASSERT_NE(e, nullptr);
    int32_t x = 10, y = 0;
    ASSERT_TRUE(zek_vmapi_bindSignal(e, "x", 6, 6, 1, 0, 0, 1, &x, 1));
    ASSERT_TRUE(zek_vmapi_bindSignal(e, "y", 6, 6, 1, 0, 0, 1, &y, 1));
    // Beyond 2^32 us from the third row on; set after creation.
    EXPECT_EQ(zek_vmapi_setStepSize(e, 2000000000), 0u);
    int cycles = 0;
    int32_t result = 0;
    do {
      result = zek_vmapi_runCycle(e);
      ++cycles;
      ++x;
    } while (result == 0);
    EXPECT_EQ(result, 2);
    zek_vmapi_closeExecution(e);
    zd::File f = decode(path);
    EXPECT_EQ(f.rows(), sut ? cycles - 1 : cycles);
    // Each cycle's event once; a SuT-synchronous program's last one comes with the finish.
    std::vector<uint64_t> times;
    for (int i = 0; i < cycles; ++i) times.push_back((uint64_t)i * 2000000000u);
    EXPECT_EQ(eventTimes(f), times);
    ASSERT_FALSE(f.blocks.empty());
    EXPECT_EQ(f.blocks[0].step, 2000000000);
    // A row after the cycle shows y = x + 1; a row before it shows the new input beside the last
    // cycle's output (x was counted up between the cycles).
    for (int32_t r = 0; r < f.rows(); ++r)
      EXPECT_EQ(valueAt<int32_t>(f, 1, r) - valueAt<int32_t>(f, 0, r), sut ? 0 : 1) << "row " << r;
  }
}

TEST(VmapiRecordFiles, NoRecordPathWritesNothing) {
  VmapiExecution *e = zek_vmapi_createExecution(image("notsync.zvm").c_str(), nullptr);
  ASSERT_NE(e, nullptr);
  int32_t x = 0, y = 0;
  ASSERT_TRUE(zek_vmapi_bindSignal(e, "x", 6, 6, 1, 0, 0, 1, &x, 1));
  ASSERT_TRUE(zek_vmapi_bindSignal(e, "y", 6, 6, 1, 0, 0, 1, &y, 1));
  EXPECT_EQ(zek_vmapi_runCycle(e), 0);
  zek_vmapi_closeExecution(e);
  EXPECT_FALSE(zek_vmapi_hasError());
}

}  // namespace
