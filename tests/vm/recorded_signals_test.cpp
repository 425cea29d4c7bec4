// RSIGNAL, RSIGNALRT, ISIGNAL and ISIGNALRT over tables in the byte code.
#include <cfloat>
#include <cmath>
#include <limits>

#include "recorded_signals.h"
#include "signal_test_support.h"

namespace {

using zt::num;
using zt::Program;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Table bytes in the image's byte order.
struct TableBytes {
  bool big;
  std::vector<uint8_t> bytes;
  template <typename T> void put(T v) {
    uint8_t raw[sizeof(T)];
    std::memcpy(raw, &v, sizeof(T));
    for (size_t i = 0; i < sizeof(T); ++i) bytes.push_back(raw[big ? sizeof(T) - 1 - i : i]);
  }
  // "label: BYTES ..." for the assembler.
  std::string text(const std::string &label) const {
    std::string out = label + ": BYTES";
    for (uint8_t b : bytes) out += " " + std::to_string(b);
    return out;
  }
};

template <typename T> uint8_t typeOf();
template <> uint8_t typeOf<uint8_t>() { return ZEK_UINT8; }
template <> uint8_t typeOf<int8_t>() { return ZEK_INT8; }
template <> uint8_t typeOf<uint16_t>() { return ZEK_UINT16; }
template <> uint8_t typeOf<int16_t>() { return ZEK_INT16; }
template <> uint8_t typeOf<uint32_t>() { return ZEK_UINT32; }
template <> uint8_t typeOf<int32_t>() { return ZEK_INT32; }
template <> uint8_t typeOf<int64_t>() { return ZEK_INT64; }
template <> uint8_t typeOf<float>() { return ZEK_FLOAT; }
template <> uint8_t typeOf<double>() { return ZEK_DOUBLE; }

// A recorded signal: MEM, L, type, period, samples. lengthDelta and typeByte make it malformed.
template <typename T>
TableBytes recorded(double period, const std::vector<T> &samples, bool big = false, int64_t lengthDelta = 0,
                    int typeByte = -1) {
  TableBytes t{big, {}};
  t.bytes.push_back(27);
  t.put<uint32_t>((uint32_t)(9 + samples.size() * sizeof(T) + lengthDelta));
  t.bytes.push_back(typeByte >= 0 ? (uint8_t)typeByte : typeOf<T>());
  t.put<double>(period);
  for (T v : samples) t.put<T>(v);
  return t;
}

// An interpolated signal: MEM, L, type, records {time, value}; Time is uint32_t or double.
template <typename Time, typename T>
TableBytes interpolated(const std::vector<std::pair<Time, T>> &records, bool big = false, int64_t lengthDelta = 0,
                        int typeByte = -1) {
  TableBytes t{big, {}};
  t.bytes.push_back(27);
  t.put<uint32_t>((uint32_t)(1 + records.size() * (sizeof(Time) + sizeof(T)) + lengthDelta));
  t.bytes.push_back(typeByte >= 0 ? (uint8_t)typeByte : typeOf<T>());
  for (auto &r : records) {
    t.put<Time>(r.first);
    t.put<T>(r.second);
  }
  return t;
}

// Executes `calls` with the table behind the end of the cycle; the results stay on the stack.
struct Replay {
  zt::Loaded loaded;
  uint16_t error;
};
Replay replay(const std::string &calls, const TableBytes &table, Program p = Program{}) {
  p.bigEndian = table.big;
  p.code = calls + "ENDCYCLE; " + table.text("table");
  Replay r{zt::load(p), 0};
  EXPECT_EQ(r.loaded.result, 0u) << zt::errorText();
  zt::execute(r.loaded);
  r.error = zek_getErrorCode();
  return r;
}

std::string rsignal(uint32_t cycle, int flag) {
  return "PUSHUINT32 " + std::to_string(cycle) + "; RSIGNAL table " + std::to_string(flag) + "; ";
}
std::string rsignalrt(double t, int flag) {
  return "PUSHDOUBLE " + num(t) + "; RSIGNALRT table " + std::to_string(flag) + "; ";
}
std::string isignal(uint32_t cycle, int flag) {
  return "PUSHUINT32 " + std::to_string(cycle) + "; ISIGNAL table cursor " + std::to_string(flag) + "; ";
}
std::string isignalrt(double t, int flag) {
  return "PUSHDOUBLE " + num(t) + "; ISIGNALRT table cursor " + std::to_string(flag) + "; ";
}

template <typename T> std::vector<T> results(size_t n) {
  EXPECT_EQ(zek_pstack_valueCount(), n);
  std::vector<T> out;
  for (size_t i = 0; i < n && i < zek_pstack_valueCount(); ++i) out.push_back(zt::top<T>((uint32_t)(n - 1 - i)));
  return out;
}

TEST(RecordedSignals, CycleNumbersSteppedAndInterpolated) {
  // 10 ms cycles over samples every 20 ms.
  TableBytes table = recorded<int16_t>(0.02, {10, 20, 30, 40});
  const std::vector<uint32_t> cycles = {0, 1, 2, 5, 6, 7, 100};
  for (int flag : {0, 1}) {
    std::string calls;
    for (uint32_t c : cycles) calls += rsignal(c, flag);
    Replay r = replay(calls, table);
    ASSERT_EQ(r.error, 0) << zt::errorText();
    EXPECT_EQ(zt::topView().type, (uint32_t)ZEK_INT16);
    EXPECT_EQ(results<int16_t>(cycles.size()), flag == 0 ? (std::vector<int16_t>{10, 10, 20, 30, 40, 40, 40})
                                                         : (std::vector<int16_t>{10, 15, 20, 35, 40, 40, 40}))
        << flag;
  }
}

TEST(RecordedSignals, ToleranceAtTheSampleEdges) {
  // Seconds: within 1/10000 of a period before a sample the sample counts as reached.
  TableBytes table = recorded<double>(0.1, {0, 1, 2, 3});
  Replay r = replay(rsignalrt(0.3 - 0.1 / 20000, 0) + rsignalrt(0.3 - 0.1 / 5000, 0) + rsignalrt(0.2 - 0.1 / 20000, 1), table);
  ASSERT_EQ(r.error, 0) << zt::errorText();
  // Interpolating at the edge gives the sample, not a value extrapolated before it.
  EXPECT_EQ(results<double>(3), (std::vector<double>{3, 2, 2}));

  // A sample period shorter than the cycle time sets the tolerance: cycle 1 lies 1.5e-4 periods
  // before sample 2, outside 1/10000 of the period but inside 1/10000 of the cycle.
  Program p;
  p.density = 10000;
  r = replay(rsignal(1, 0), recorded<int32_t>(0.01 / 1.99985, {0, 1, 2, 3}), p);
  ASSERT_EQ(r.error, 0) << zt::errorText();
  EXPECT_EQ(zt::top<int32_t>(), 1);
}

TEST(RecordedSignals, ATableInTheMiddleOfTheCodeIsSkipped) {
  // MEM carries the table past; the signal reads it from behind its own operands.
  Program p;
  p.density = 10000;
  p.timeout = 5;
  p.channel("out", ZEK_INT16);
  p.code = "READCYCLECOUNT; RSIGNAL table 1; " + recorded<int16_t>(0.02, {10, 20, 30, 40}).text("table") +
           "; WRITEALL out; ENDCYCLE";
  zt::Loaded l = zt::load(p);
  ASSERT_EQ(l.result, 0u) << zt::errorText();
  std::vector<int16_t> seen;
  for (int cycle = 0; cycle < 3; ++cycle) {
    ASSERT_EQ(zek_runCycle(), 0u) << zt::errorText();
    seen.push_back(zt::value<int16_t>("out"));
  }
  EXPECT_EQ(seen, (std::vector<int16_t>{10, 15, 20}));
}

TEST(RecordedSignals, TimesBeforeTheStartGiveTheFirstSample) {
  TableBytes table = recorded<double>(1, {5, 7, 9});
  Replay r = replay(rsignalrt(-0.5, 1) + rsignalrt(-1e30, 1) + rsignalrt(kNaN, 1) + rsignalrt(-1e-9, 0) +
                        rsignalrt(1e30, 1) + rsignalrt(std::numeric_limits<double>::infinity(), 1) + rsignalrt(1.25, 1),
                    table);
  ASSERT_EQ(r.error, 0) << zt::errorText();
  EXPECT_EQ(results<double>(7), (std::vector<double>{5, 5, 5, 5, 9, 9, 7.5}));
}

TEST(RecordedSignals, InterpolationWidthsPerType) {
  // Two samples one second apart, read at `at` seconds; both byte orders.
  struct Case {
    const char *what;
    double at;
    TableBytes (*make)(bool);
    int64_t expectedInt;
    double expectedReal;
  };
  const Case cases[] = {
      {"int16 10 to 0 truncates toward zero", 0.25, [](bool b) { return recorded<int16_t>(1, {10, 0}, b); }, 8, 0},
      {"uint32 falling like the others", 0.25, [](bool b) { return recorded<uint32_t>(1, {10, 0}, b); }, 8, 0},
      {"uint8 200 to 0", 0.25, [](bool b) { return recorded<uint8_t>(1, {200, 0}, b); }, 150, 0},
      {"uint8 0 to 255", 0.5, [](bool b) { return recorded<uint8_t>(1, {0, 255}, b); }, 127, 0},
      {"int8 -100 to 100", 0.25, [](bool b) { return recorded<int8_t>(1, {-100, 100}, b); }, -50, 0},
      {"uint16 0 to 65535", 0.5, [](bool b) { return recorded<uint16_t>(1, {0, 65535}, b); }, 32767, 0},
      {"int32 across more than 2^31", 0.5,
       [](bool b) { return recorded<int32_t>(1, {-2000000000, 2000000000}, b); }, 0, 0},
      {"uint32 4e9 to 0", 0.5, [](bool b) { return recorded<uint32_t>(1, {4000000000u, 0}, b); }, 2000000000, 0},
      {"int64", 0.25,
       [](bool b) { return recorded<int64_t>(1, {-4000000000000000000, 4000000000000000000}, b); }, -2000000000000000000, 0},
      {"int64 across more than 2^63", 0.5,
       [](bool b) { return recorded<int64_t>(1, {-8000000000000000000, 8000000000000000000}, b); }, 0, 0},
      {"int64 falling across more than 2^63", 0.25,
       [](bool b) { return recorded<int64_t>(1, {8000000000000000000, -8000000000000000000}, b); }, 4000000000000000000, 0},
      {"int64 at the ends of its range", 0.75,
       [](bool b) { return recorded<int64_t>(1, {INT64_MIN, INT64_MAX}, b); }, 4611686018427387904, 0},
      {"float", 0.25, [](bool b) { return recorded<float>(1, {1.0f, 2.0f}, b); }, 0, 1.25},
      {"float across more than FLT_MAX", 0.5, [](bool b) { return recorded<float>(1, {-FLT_MAX, FLT_MAX}, b); }, 0, 0},
      {"double", 0.25, [](bool b) { return recorded<double>(1, {1.0, 3.0}, b); }, 0, 1.5},
  };
  for (bool big : {false, true}) {
    for (const Case &c : cases) {
      Replay r = replay(rsignalrt(c.at, 1), c.make(big));
      ASSERT_EQ(r.error, 0) << c.what << ": " << zt::errorText();
      ZekValueView v = zt::topView();
      int64_t gotInt = 0;
      double gotReal = 0;
      switch (v.type) {
        case ZEK_UINT8: gotInt = zt::top<uint8_t>(); break;
        case ZEK_INT8: gotInt = zt::top<int8_t>(); break;
        case ZEK_UINT16: gotInt = zt::top<uint16_t>(); break;
        case ZEK_INT16: gotInt = zt::top<int16_t>(); break;
        case ZEK_UINT32: gotInt = zt::top<uint32_t>(); break;
        case ZEK_INT32: gotInt = zt::top<int32_t>(); break;
        case ZEK_INT64: gotInt = zt::top<int64_t>(); break;
        case ZEK_FLOAT: gotReal = zt::top<float>(); break;
        case ZEK_DOUBLE: gotReal = zt::top<double>(); break;
      }
      EXPECT_EQ(gotInt, c.expectedInt) << c.what << (big ? " big-endian" : "");
      EXPECT_EQ(gotReal, c.expectedReal) << c.what << (big ? " big-endian" : "");
    }
  }
  // bool samples interpolate as numbers and truncate.
  uint8_t a = 0, b = 1;
  EXPECT_TRUE(zek_RSIGNAL_interpolate(&a, &b, 0.75, ZEK_BOOL));
  EXPECT_EQ(a, 0);
  EXPECT_FALSE(zek_RSIGNAL_interpolate(&a, &b, 0.75, 0));
  EXPECT_EQ(zt::bareError(), "Type 0 not allowed in zek_RSIGNAL_read().");
  zek_resetError();
}

}  // namespace

namespace {

// Interpolated signals read and write their cursor channel.
Program withCursor(uint8_t cursorType = ZEK_UINT32) {
  Program p;
  p.density = 10000;
  p.channel("cursor", cursorType);
  return p;
}

TEST(InterpolatedSignals, RecordsAtCycles) {
  // Records at cycles 0, 10, 20 with the values 1, 2, 3.
  TableBytes table = interpolated<uint32_t, int32_t>({{0, 1}, {10, 2}, {20, 3}});
  const std::vector<uint32_t> cycles = {0, 5, 9, 10, 19, 20, 500};
  std::string calls;
  for (uint32_t c : cycles) calls += isignal(c, 0);
  Replay r = replay(calls, table, withCursor());
  ASSERT_EQ(r.error, 0) << zt::errorText();
  EXPECT_EQ(results<int32_t>(cycles.size()), (std::vector<int32_t>{1, 1, 1, 2, 2, 3, 3}));
  EXPECT_EQ(zt::value<uint32_t>("cursor"), 2u);
  EXPECT_TRUE(zek_isWrittenFlag(zt::channel("cursor")->heapOffset));

  r = replay(isignal(15, 1) + isignal(20, 1), table, withCursor());
  ASSERT_EQ(r.error, 0) << zt::errorText();
  EXPECT_EQ(results<int32_t>(2), (std::vector<int32_t>{2, 3}));
}

TEST(InterpolatedSignals, TheCursorMovesForwardAtOnceAndBackOneRecordAtATime) {
  TableBytes table = interpolated<uint32_t, int32_t>({{0, 1}, {10, 2}, {20, 3}, {30, 4}});
  // Forward over every record passed; back by one per execution; t = 0 starts again.
  Replay r = replay(isignal(35, 0) + isignal(5, 0) + isignal(5, 0) + isignal(5, 0) + isignal(25, 0) + isignal(0, 0),
                    table, withCursor());
  ASSERT_EQ(r.error, 0) << zt::errorText();
  EXPECT_EQ(results<int32_t>(6), (std::vector<int32_t>{4, 3, 2, 1, 3, 1}));
  EXPECT_EQ(zt::value<uint32_t>("cursor"), 0u);
}

TEST(InterpolatedSignals, SecondsWithInterpolation) {
  TableBytes table = interpolated<double, int32_t>({{0.0, 0}, {1.0, 10}, {3.0, -31}});
  Replay r = replay(isignalrt(0.5, 1) + isignalrt(2.0, 1) + isignalrt(2.5, 0) + isignalrt(7, 1) + isignalrt(-1, 1) +
                        isignalrt(kNaN, 1),
                    table, withCursor());
  ASSERT_EQ(r.error, 0) << zt::errorText();
  // 10 + trunc(-41 x 0.5) = -10; before the start the first record, never extrapolated.
  EXPECT_EQ(results<int32_t>(6), (std::vector<int32_t>{5, -10, 10, -31, 0, 0}));

  // Tolerance: a thousandth of the cycle time before a record counts as that record.
  TableBytes d = interpolated<double, double>({{0.0, 0.0}, {1.0, 10.0}, {2.0, 20.0}});
  r = replay(isignalrt(1.0 - 5e-6, 1) + isignalrt(1.5, 1) + isignalrt(1.0 - 2e-5, 0), d, withCursor());
  ASSERT_EQ(r.error, 0) << zt::errorText();
  EXPECT_EQ(results<double>(3), (std::vector<double>{10.0, 15.0, 0.0}));
}

TEST(InterpolatedSignals, BothByteOrders) {
  for (bool big : {false, true}) {
    Program p = withCursor();
    Replay r = replay(isignal(5, 1) + isignal(12, 1),
                      interpolated<uint32_t, int16_t>({{0, 100}, {10, -100}, {20, 300}}, big), p);
    ASSERT_EQ(r.error, 0) << zt::errorText();
    EXPECT_EQ(results<int16_t>(2), (std::vector<int16_t>{0, -20})) << big;
    r = replay(isignalrt(1.5, 1), interpolated<double, float>({{1.0, 1.0f}, {2.0, 2.0f}}, big), p);
    ASSERT_EQ(r.error, 0) << zt::errorText();
    EXPECT_EQ(zt::top<float>(), 1.5f) << big;
  }
}

// Tables the compiler does not produce: refused before a byte of them is read as a sample.
TEST(SignalTables, MalformedTablesAreRefused) {
  const double nan = kNaN;
  struct Row {
    const char *what;
    std::string calls;
    TableBytes table;
    uint16_t error;
    std::string message;
  };
  std::vector<Row> rows = {
      {"offset on no MEM", "PUSHUINT32 0; RSIGNAL 0 0; ", recorded<int32_t>(1, {1}), 117,
       "PROGOFFSET 0 does not point to a MEM instruction"},
      {"offset beyond the code", "PUSHUINT32 0; RSIGNAL 100000 0; ", recorded<int32_t>(1, {1}), 117,
       "PROGOFFSET 100000 does not point to a MEM instruction"},
      {"ISIGNAL offset on no MEM", "PUSHUINT32 0; ISIGNAL 0 cursor 0; ", recorded<int32_t>(1, {1}), 117,
       "PROGOFFSET 0 does not point to a MEM or MEM32 instruction"},
      {"length beyond the code", rsignal(0, 0), recorded<int32_t>(1, {1, 2}, false, 1000), 117, ""},
      {"length 0xFFFFFFFF", rsignal(0, 0), recorded<int32_t>(1, {1, 2}, false, 0xFFFFFFFFll - 17), 117, ""},
      {"no sample", rsignal(0, 0), recorded<int32_t>(1, {}), 117, ""},
      {"a partial sample", rsignal(0, 0), recorded<int32_t>(1, {7}, false, -1), 117, ""},
      {"header cut short", rsignal(0, 0), recorded<int32_t>(1, {}, false, -4), 117, ""},
      {"type 0", rsignal(0, 0), recorded<int32_t>(1, {1, 2}, false, 0, 0), 18, "Type 0 not allowed in zek_RSIGNAL_read()."},
      {"type 11", rsignal(0, 0), recorded<int32_t>(1, {1, 2}, false, 0, 11), 18, "Type 11 not allowed in zek_RSIGNAL_read()."},
      {"period 0", rsignal(0, 0), recorded<int32_t>(0, {1, 2}), 117, ""},
      {"negative period", rsignalrt(1, 1), recorded<int32_t>(-1, {1, 2}), 117, ""},
      {"NaN period", rsignal(0, 1), recorded<int32_t>(nan, {1, 2}), 117, ""},
      {"infinite period", rsignal(0, 1), recorded<int32_t>(std::numeric_limits<double>::infinity(), {1, 2}), 117, ""},
      {"no record", isignal(0, 0), interpolated<uint32_t, int32_t>({}), 117, ""},
      {"records past the block", isignal(0, 0), interpolated<uint32_t, int32_t>({{0, 1}, {1, 2}}, false, -1), 117, ""},
      {"interpolated type 0", isignalrt(0, 0), interpolated<double, int32_t>({{0, 1}}, false, 0, 0), 18,
       "Type 0 not allowed in zek_RSIGNAL_read()."},
      {"cursor channel 7", "PUSHUINT32 0; ISIGNAL table 7 0; ", interpolated<uint32_t, int32_t>({{0, 1}}), 117,
       "Cursor channel 7 of the signal table at PROGOFFSET 1 does not exist."},
  };
  for (const Row &row : rows) {
    Replay r = replay(row.calls, row.table, withCursor());
    EXPECT_EQ(r.error, row.error) << row.what << ": " << zt::errorText();
    if (!row.message.empty()) {
      EXPECT_EQ(zt::bareError(), row.message) << row.what;
    }
    // Nothing pushed, the time not taken.
    EXPECT_EQ(zek_pstack_valueCount(), 1u) << row.what;
  }

  Replay r = replay(isignal(0, 0), interpolated<uint32_t, int32_t>({{0, 1}}), withCursor(ZEK_INT16));
  EXPECT_EQ(r.error, 18);
  EXPECT_EQ(zt::bareError(), "Cursor channel cursor of the signal table at PROGOFFSET 1 is not a 32-bit channel.");
  EXPECT_EQ(zek_pstack_valueCount(), 1u);
}

TEST(SignalTables, ACursorBeyondTheRecordsIsRefused) {
  Program p = withCursor();
  p.channels[0].init = zt::bytesOf<uint32_t>({3});
  Replay r = replay(isignal(5, 0), interpolated<uint32_t, int32_t>({{0, 1}, {10, 2}, {20, 3}}), p);
  EXPECT_EQ(r.error, 117);
  EXPECT_EQ(zt::bareError(), "Cursor 3 of the signal table at PROGOFFSET 1 lies beyond its 3 records.");
  EXPECT_EQ(zek_pstack_valueCount(), 0u);
  // At t = 0 the cursor is not read: the search starts from the first record.
  r = replay(isignal(0, 0), interpolated<uint32_t, int32_t>({{0, 1}, {10, 2}, {20, 3}}), p);
  EXPECT_EQ(r.error, 0);
  EXPECT_EQ(zt::top<int32_t>(), 1);
}

int failingLoader(ChannelDecl *) { return 1; }

TEST(SignalTables, ACursorThatCannotBeReadStartsTheSearchAtTheFirstRecord) {
  // The read's error stands; the value is still found and pushed, the cursor still written.
  Program p;
  p.density = 10000;
  p.channel("cursor", ZEK_UINT32, ZEK_ROLE_INPUT).init = zt::bytesOf<uint32_t>({2});
  p.code = isignal(15, 0) + "ENDCYCLE; " + interpolated<uint32_t, int32_t>({{0, 1}, {10, 2}, {20, 3}}).text("table");
  zt::Loaded l = zt::load(p);
  ASSERT_EQ(l.result, 0u) << zt::errorText();
  zt::channel("cursor")->valueLoader = failingLoader;
  zt::execute(l);
  EXPECT_EQ(zek_getErrorCode(), 100);
  EXPECT_EQ(zt::bareError(), "Accessing the current value of channel 'cursor', which could not be loaded.");
  EXPECT_EQ(zt::top<int32_t>(), 2);
  EXPECT_EQ(zt::value<uint32_t>("cursor"), 1u);
}

TEST(SignalTables, WrongTimeTypes) {
  TableBytes table = recorded<int32_t>(1, {1});
  Replay r = replay("PUSHINT32 0; RSIGNAL table 0; ", table);
  EXPECT_EQ(r.error, 18);
  EXPECT_EQ(zt::bareError(), "Type mismatch on parameter stack. Expected uint32, got int32.");
  r = replay("PUSHUINT32 0; RSIGNALRT table 0; ", table);
  EXPECT_EQ(zt::bareError(), "Type mismatch on parameter stack. Expected double, got uint32.");
  r = replay("RSIGNAL table 0; ", table);
  EXPECT_EQ(r.error, 109);
  r = replay("PUSHDOUBLE 0; ISIGNAL table cursor 0; ", interpolated<uint32_t, int32_t>({{0, 1}}), withCursor());
  EXPECT_EQ(zt::bareError(), "Type mismatch on parameter stack. Expected uint32, got double.");
}

}  // namespace
