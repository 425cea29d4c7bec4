#include <cmath>
#include <cstring>
#include <limits>
#include <map>
#include <string>
#include <vector>

#include "opcodes.h"
#include "operands.h"
#include "vm_harness.h"

namespace {

using namespace std::string_literals;

// A value to place on the parameter stack before the code runs: a uint8 string (array of its
// bytes, or a scalar uint8), or any other type and shape to provoke the popping errors.
struct Operand {
  std::string bytes;
  bool scalar = false;
  uint32_t type = ZEK_UINT8;
  std::vector<uint32_t> dims = {};  // overrides the one-dimensional shape of the bytes
};

Operand str(const std::string &bytes) { return Operand{bytes}; }
Operand chr(char c) { return Operand{std::string(1, c), true}; }

void push(const Operand &op) {
  if (op.scalar) {
    ASSERT_TRUE(zek_pstack_pushScalar(op.type, op.bytes.data())) << zt::errorText();
    return;
  }
  std::vector<uint32_t> dims = op.dims.empty() ? std::vector<uint32_t>{(uint32_t)op.bytes.size()} : op.dims;
  uint8_t *p = zek_pstack_pushValue(op.type, op.bytes.size(), dims.data(), (uint8_t)dims.size());
  ASSERT_NE(p, nullptr) << zt::errorText();
  std::memcpy(p, op.bytes.data(), op.bytes.size());
}

template <typename T> std::string rawOf(T v) { return std::string((const char *)&v, sizeof v); }

constexpr int32_t kSentinel = 0x12345678;

// Loads a program and runs its code once over values placed on the stack beforehand; unlike
// zt::execute the stacks are kept, so what an instruction pops can be set up by the test.
struct StackRun {
  zt::Loaded loaded;
  std::map<std::string, uint32_t> labels;

  void load(const std::string &code, uint32_t valueStack = 8192) {
    zt::Program p;
    p.code = code;
    p.valueStack = valueStack;
    p.events = {{5, "start"}, {7, "data"}};
    zt::assemble(p, code, &labels);
    loaded = zt::load(p);
    ASSERT_EQ(loaded.result, 0u) << zt::errorText();
  }

  // Runs from start, an offset relative to the code base.
  void run(const std::vector<Operand> &operands, uint32_t start = 0) {
    zt::executeFrom(start, [&] {
      for (const Operand &op : operands) push(op);
    });
  }
};

std::string topString() {
  ZekValueView v = zt::topView();
  EXPECT_EQ(v.type, (uint32_t)ZEK_UINT8);
  EXPECT_EQ(v.scalar, 0);
  EXPECT_EQ(v.dimCount, 1);
  return std::string((const char *)v.bytes, v.total);
}

// Number of values and bytes on the parameter stack.
void expectStack(uint32_t values, uint32_t bytes) {
  EXPECT_EQ(zek_pstack_valueCount(), values);
  EXPECT_EQ(zek_pstack_count(), bytes);
}

// ---------------------------------------------------------------------------------------------
// String popping, shared by STRCAT, STRCMP and EVENT.

TEST(StringPopping, WrongValuesRaiseTheExactErrors) {
  struct Row { const char *what; std::vector<Operand> operands; uint16_t code; std::string message; };
  Operand int8Text{"ab\0"s, false, ZEK_INT8};
  Operand int32Scalar{rawOf<int32_t>(7), true, ZEK_INT32};
  Operand matrix{"abcdef", false, ZEK_UINT8, {2, 3}};
  const Row rows[] = {
      {"int8 array on top", {str("ab\0"s), int8Text}, 18, "Type mismatch on parameter stack. Expected uint8, got int8."},
      {"int32 scalar below", {int32Scalar, str("ab\0"s)}, 18, "Type mismatch on parameter stack. Expected uint8, got int32."},
      {"2-dim array", {str("ab\0"s), matrix}, 104, "Expected 1-dim array, got 2-dim array."},
      {"one string only", {str("ab\0"s)}, 109, "An underflow of the parameter stack occurred."},
  };
  for (const char *code : {"STRCAT; END", "STRCMP; END"}) {
    for (const Row &row : rows) {
      StackRun r;
      r.load(code);
      r.run(row.operands);
      EXPECT_EQ(zek_getErrorCode(), row.code) << code << ": " << row.what;
      EXPECT_EQ(zt::bareError(), row.message) << code << ": " << row.what;
    }
  }
  const Row eventRows[] = {
      {"int8 array", {int8Text}, 18, "Type mismatch on parameter stack. Expected uint8, got int8."},
      {"2-dim array", {matrix}, 104, "Expected 1-dim array, got 2-dim array."},
      {"empty stack", {}, 109, "An underflow of the parameter stack occurred."},
  };
  for (const Row &row : eventRows) {
    StackRun r;
    r.load("EVENT data 1; END");
    r.run(row.operands);
    EXPECT_EQ(zek_getErrorCode(), row.code) << "EVENT: " << row.what;
    EXPECT_EQ(zt::bareError(), row.message) << "EVENT: " << row.what;
    EXPECT_EQ(zek_getData()->eventList, nullptr) << "a failing EVENT adds no record";
  }
}

// ---------------------------------------------------------------------------------------------
// STRCAT

TEST(Strcat, JoinsTheFirstTextWithTheWholeSecondString) {
  struct Row { const char *what; Operand first, second; std::string joined; };
  const Row rows[] = {
      {"both with NUL", str("ab\0"s), str("cd\0"s), "abcd\0"s},
      {"first without NUL", str("ab"), str("cd\0"s), "abcd\0"s},
      {"overlapping move", str("a\0"s), str("wxyz\0"s), "awxyz\0"s},
      {"long padding after the text", str("a\0\0\0\0\0\0\0"s), str("xy\0"s), "axy\0"s},
      {"embedded NUL in the first", str("a\0b\0"s), str("cd\0"s), "acd\0"s},
      {"embedded NUL in the second", str("ab\0"s), str("c\0d\0"s), "abc\0d\0"s},
      {"two scalars", chr('a'), chr('b'), "ab"},
      {"scalar NUL first", chr('\0'), str("cd\0"s), "cd\0"s},
      {"scalar NUL second", str("ab\0"s), chr('\0'), "ab\0"s},
      {"empty text and one byte", str("\0"s), chr('x'), "x"},
  };
  for (const Row &row : rows) {
    StackRun r;
    r.load("STRCAT; END");
    r.run({Operand{rawOf(kSentinel), true, ZEK_INT32}, row.first, row.second});
    ASSERT_FALSE(zek_hasError()) << row.what << ": " << zt::errorText();
    EXPECT_EQ(topString(), row.joined) << row.what;
    // The joined string replaces both operands and nothing below it moved.
    expectStack(2, 4 + (uint32_t)row.joined.size());
    EXPECT_EQ(zt::top<int32_t>(1), kSentinel) << row.what;
  }
}

TEST(Strcat, ResultOfNum2strJoinsInARunningCycle) {
  zt::Program p;
  p.code = "PUSHINT32 12; NUM2STR; PUSHINT32 -3; NUM2STR; STRCAT; END";
  auto l = zt::load(p);
  ASSERT_EQ(l.result, 0u) << zt::errorText();
  zt::execute(l);
  ASSERT_FALSE(zek_hasError()) << zt::errorText();
  EXPECT_EQ(topString(), "12-3\0"s);
  expectStack(1, 5);
}

// ---------------------------------------------------------------------------------------------
// STRCMP

TEST(Strcmp, ComparesTextsForEquality) {
  struct Row { Operand a, b; uint8_t equal; };
  const Row rows[] = {
      {str("ab\0"s), str("ab"), 1},
      {str("ab"), str("ab\0"s), 1},
      {str("ab\0"s), str("abc\0"s), 0},
      {str("ab"), str("ab"), 1},
      {str("ab"), str("abc"), 0},
      {str("abc"), str("ab\0"s), 0},
      {str("ab\0x"s), str("ab\0y"s), 1},
      {str("abc\0"s), str("abd\0"s), 0},
      {str("ab\0\0"s), str("ab"), 1},
      {str("ab"), str("ab\0zz"s), 1},
      {str("\0"s), str("\0\0\0"s), 1},
      {str("\0"s), str("a\0"s), 0},
      {chr('a'), str("a\0"s), 1},
      {chr('a'), chr('b'), 0},
      {chr('a'), chr('a'), 1},
  };
  for (const Row &row : rows) {
    StackRun r;
    r.load("STRCMP; END");
    r.run({Operand{rawOf(kSentinel), true, ZEK_INT32}, row.a, row.b});
    std::string label = "'" + row.a.bytes + "' vs '" + row.b.bytes + "'";
    ASSERT_FALSE(zek_hasError()) << label << ": " << zt::errorText();
    ZekValueView v = zt::topView();
    EXPECT_EQ(v.type, (uint32_t)ZEK_BOOL) << label;
    EXPECT_EQ(v.scalar, 1) << label;
    EXPECT_EQ(zt::top<uint8_t>(), row.equal) << label;
    expectStack(2, 5);
    EXPECT_EQ(zt::top<int32_t>(1), kSentinel) << label;
  }
}

// ---------------------------------------------------------------------------------------------
// NUM2STR

TEST(Num2str, FormatsEveryTypeAndCutsLongTexts) {
  struct Row { uint32_t type; std::string value; std::string text; };
  const double inf = std::numeric_limits<double>::infinity();
  const Row rows[] = {
      {ZEK_UINT8, rawOf<uint8_t>(0), "0"},
      {ZEK_UINT8, rawOf<uint8_t>(255), "255"},
      {ZEK_INT8, rawOf<int8_t>(-5), "-5"},
      {ZEK_INT8, rawOf<int8_t>(-128), "-128"},
      {ZEK_UINT16, rawOf<uint16_t>(65535), "65535"},
      {ZEK_INT16, rawOf<int16_t>(-32768), "-32768"},
      {ZEK_UINT32, rawOf<uint32_t>(4294967295u), "4294967295"},
      {ZEK_INT32, rawOf<int32_t>(std::numeric_limits<int32_t>::min()), "-2147483648"},
      {ZEK_INT64, rawOf<int64_t>(std::numeric_limits<int64_t>::min()), "-9223372036854775808"},
      {ZEK_INT64, rawOf<int64_t>(std::numeric_limits<int64_t>::max()), "9223372036854775807"},
      {ZEK_FLOAT, rawOf<float>(1.5f), "1.500000"},
      {ZEK_FLOAT, rawOf<float>(0.1f), "0.100000"},
      {ZEK_DOUBLE, rawOf<double>(1.5), "1.500000"},
      {ZEK_DOUBLE, rawOf<double>(-0.0), "-0.000000"},
      {ZEK_DOUBLE, rawOf<double>(1e-300), "0.000000"},
      {ZEK_DOUBLE, rawOf<double>(inf), "inf"},
      {ZEK_DOUBLE, rawOf<double>(-inf), "-inf"},
      {ZEK_DOUBLE, rawOf<double>(std::numeric_limits<double>::quiet_NaN()), "nan"},
      {ZEK_BOOL, rawOf<uint8_t>(1), "true"},
      {ZEK_BOOL, rawOf<uint8_t>(0), "false"},
      {ZEK_BOOL, rawOf<uint8_t>(2), "true"},
      // 31 characters in full: the print stores 30 of them.
      {ZEK_DOUBLE, rawOf<double>(1e24), "999999999999999983222784.00000"},
      {ZEK_FLOAT, rawOf<float>(1e24f), "1000000013848427855085568.0000"},
      {ZEK_FLOAT, rawOf<float>(std::numeric_limits<float>::max()), "340282346638528859811704183484"},
      {ZEK_DOUBLE, rawOf<double>(-std::numeric_limits<double>::max()), "-17976931348623157081452742373"},
  };
  for (const Row &row : rows) {
    StackRun r;
    r.load("NUM2STR; END");
    r.run({Operand{rawOf(kSentinel), true, ZEK_INT32}, Operand{row.value, true, row.type}});
    ASSERT_FALSE(zek_hasError()) << row.text << ": " << zt::errorText();
    EXPECT_EQ(topString(), row.text + '\0') << "type " << row.type;
    expectStack(2, 4 + (uint32_t)row.text.size() + 1);
    EXPECT_EQ(zt::top<int32_t>(1), kSentinel) << row.text;
  }
}

TEST(Num2str, RejectsArraysUnknownTypesAndAFullStack) {
  struct Row { const char *what; std::vector<Operand> operands; uint16_t code; std::string message; };
  // The value stack holds 8192 bytes: fill it so that the 9 bytes of "1.500000" find no room
  // once the double is popped.
  Operand filler{std::string(8192 - 8, 'x')};
  const Row rows[] = {
      {"array", {str("abc")}, 104, "dropScalar: Expected scalar, got array (3)."},
      {"empty stack", {}, 109, "An underflow of the parameter stack occurred."},
      {"unknown type", {Operand{"", true, 11}}, 18, "Illegal datatype 11 during NUM2STR"},
      {"no room", {filler, Operand{rawOf<double>(1.5), true, ZEK_DOUBLE}}, 108,
       "An overflow of the parameter stack occurred."},
  };
  for (const Row &row : rows) {
    StackRun r;
    r.load("NUM2STR; END");
    r.run(row.operands);
    EXPECT_EQ(zek_getErrorCode(), row.code) << row.what;
    EXPECT_EQ(zt::bareError(), row.message) << row.what;
  }
}

// ---------------------------------------------------------------------------------------------
// EVENT

struct Ev {
  uint16_t id;
  std::string data;
  bool operator==(const Ev &) const = default;
};

std::vector<Ev> events() {
  std::vector<Ev> out;
  for (const EventRecord *e = zek_getData()->eventList; e != nullptr; e = e->next) {
    EXPECT_EQ(e->data == nullptr, e->length == 0) << "id " << e->id;
    out.push_back({e->id, e->data != nullptr ? std::string((const char *)e->data, e->length) : ""});
  }
  return out;
}

void PrintTo(const Ev &e, std::ostream *os) { *os << "{" << e.id << ", \"" << e.data << "\"}"; }

zt::Program eventProgram(const std::string &code) {
  zt::Program p;
  p.events = {{5, "start"}, {7, "data"}};
  p.code = code;
  p.timeout = 100;
  return p;
}

const char *kThreeEvents = "EVENT start 0; PUSHINT32 -42; NUM2STR; EVENT data 1; PUSHUINT8 65; EVENT start 1; ENDCYCLE";

TEST(Event, RecordsInExecutionOrderWithOwnedCopies) {
  auto l = zt::load(eventProgram(kThreeEvents));
  ASSERT_EQ(l.result, 0u) << zt::errorText();
  ASSERT_EQ(zek_runCycle(), 0u) << zt::errorText();
  EXPECT_EQ(events(), (std::vector<Ev>{{5, ""}, {7, "-42\0"s}, {5, "A"}}));
  // The data outlives the stack: it is not a pointer into the value stack.
  const EventRecord *withData = zek_getData()->eventList->next;
  EXPECT_TRUE(withData->data < vmstate0.values.base || withData->data >= vmstate0.values.end);
}

TEST(Event, ListHoldsOnlyTheCurrentCycleAndIsFreedOnReload) {
  auto l = zt::load(eventProgram(kThreeEvents));
  ASSERT_EQ(l.result, 0u) << zt::errorText();
  for (int cycle = 0; cycle < 3; ++cycle) {
    ASSERT_EQ(zek_runCycle(), 0u) << zt::errorText();
    EXPECT_EQ(events().size(), 3u) << "cycle " << cycle;
  }
  // The records of the last cycle go with the next load (the leak checker of the sanitizer
  // build sees it when they do not); the new program starts with an empty list.
  auto other = zt::load(eventProgram("ENDCYCLE"));
  ASSERT_EQ(other.result, 0u) << zt::errorText();
  EXPECT_EQ(zek_getData()->eventList, nullptr);
  ASSERT_EQ(zek_runCycle(), 0u) << zt::errorText();
  EXPECT_TRUE(events().empty());
}

TEST(Event, AppendsAfterARecycledList) {
  // The list is rebuilt after every cycle start: appending must not follow a stale tail.
  auto l = zt::load(eventProgram("PUSHUINT8 66; EVENT data 1; EVENT start 0; ENDCYCLE"));
  ASSERT_EQ(l.result, 0u) << zt::errorText();
  ASSERT_EQ(zek_runCycle(), 0u);
  ASSERT_EQ(zek_runCycle(), 0u);
  EXPECT_EQ(events(), (std::vector<Ev>{{7, "B"}, {5, ""}}));
}

TEST(Event, DataLimitIs65535Bytes) {
  struct Row { uint32_t bytes; uint16_t code; };
  for (const Row &row : {Row{65535, 0}, Row{65536, 111}}) {
    StackRun r;
    r.load("EVENT start 0; EVENT data 1; END", 70000);
    std::string data(row.bytes, 'e');
    data[100] = '\0';  // the data is the whole string, not its text
    r.run({str(data)});
    EXPECT_EQ(zek_getErrorCode(), row.code) << row.bytes;
    std::vector<Ev> got = events();
    if (row.code == 0) {
      EXPECT_EQ(got, (std::vector<Ev>{{5, ""}, {7, data}}));
    } else {
      EXPECT_EQ(zt::bareError(), "EVENT with more than 65535 bytes not supported.");
      EXPECT_EQ(got, (std::vector<Ev>{{5, ""}})) << "the failing EVENT adds nothing";
    }
  }
}

// A record row holds at most 65535 events: the events of one cycle are bounded by it. The count
// starts again with every cycle, as the list does.
TEST(Event, AtMost65535EventsInOneCycle) {
  struct Row {
    uint32_t events;
    uint32_t result;
    size_t kept;
  };
  for (const Row &row : {Row{65535, 0, 65535}, Row{65536, 1, 65535}}) {
    zt::Program p = eventProgram(
        "PUSHUINT32 0; WRITEALL n;"
        "L: READALL n; PUSHUINT32 " + std::to_string(row.events) + "; LT; JUMPONFALSE E;"
        "PUSHUINT8 33; EVENT data 1; READALL n; PUSHUINT32 1; PLUS; WRITEALL n; JUMP L;"
        "E: ENDCYCLE");
    p.channel("n", ZEK_UINT32);
    auto l = zt::load(p);
    ASSERT_EQ(l.result, 0u) << zt::errorText();
    for (int cycle = 0; cycle < 2; ++cycle) {
      SCOPED_TRACE(std::to_string(row.events) + " events, cycle " + std::to_string(cycle));
      ASSERT_EQ(zek_runCycle(), row.result) << zt::errorText();
      std::vector<Ev> got = events();
      EXPECT_EQ(got.size(), row.kept);
      EXPECT_EQ(got.back(), (Ev{7, "!"}));
      if (row.result == 0) continue;
      EXPECT_EQ(zek_getErrorCode(), ZEK_ERR_LIMIT);
      EXPECT_EQ(zt::bareError(), "More than 65535 EVENTs in one cycle not supported.");
      EXPECT_EQ(zt::value<uint32_t>("n"), 65535u) << "the failing EVENT ends the cycle";
    }
  }
}

TEST(Event, IdIsReadInTheImageByteOrder) {
  zt::Program p = eventProgram("EVENT 0x0102 0; ENDCYCLE");
  p.bigEndian = true;
  auto l = zt::load(p);
  ASSERT_EQ(l.result, 0u) << zt::errorText();
  ASSERT_EQ(zek_runCycle(), 0u) << zt::errorText();
  EXPECT_EQ(events(), (std::vector<Ev>{{0x0102, ""}}));
}

TEST(Event, OperandsCutByTheCodeEndAddNoRecord) {
  auto l = zt::load(eventProgram("PUSHUINT8 1; BYTES 26 7 0"));  // the data flag is missing
  ASSERT_EQ(l.result, 0u) << zt::errorText();
  EXPECT_EQ(zek_runCycle(), 1u);
  EXPECT_EQ(zek_getErrorCode(), 117);
  EXPECT_TRUE(events().empty());
}

// ---------------------------------------------------------------------------------------------
// MESSAGEBOX

struct BoxCall {
  int calls = 0;
  uint32_t position = 0;
  uint8_t flag = 0;
  std::string text;
  uint8_t count = 0;
  const char *itemsPointer = nullptr;
  std::vector<std::string> items;
  uint8_t answer = 0;
};
BoxCall g_box;

uint8_t recordingBox(uint32_t position, uint8_t flag, const char *text, uint8_t count, const char *items) {
  ++g_box.calls;
  g_box.position = position;
  g_box.flag = flag;
  g_box.text = text;
  g_box.count = count;
  g_box.itemsPointer = items;
  g_box.items.clear();
  for (uint8_t i = 0; i < count; ++i, items += std::strlen(items) + 1) g_box.items.push_back(items);
  return g_box.answer;
}

struct BoxRun {
  zt::Loaded loaded;
  std::map<std::string, uint32_t> labels;

  void load(const std::string &code, bool install = true) {
    zt::Program p;
    p.code = code;
    zt::assemble(p, code, &labels);
    loaded = zt::load(p);
    ASSERT_EQ(loaded.result, 0u) << zt::errorText();
    if (install) zek_installMessageBoxCmd(recordingBox);
    g_box = BoxCall{};
  }
  uint32_t at(const std::string &label) { return vmstate0.codeBase + labels.at(label); }
};

TEST(MessageBox, CallsTheCommandAndPushesItsAnswer) {
  struct Row { const char *code; uint8_t flag; uint8_t answer; std::string text; std::vector<std::string> items; };
  const Row rows[] = {
      {"PUSHTRUE; box: MESSAGEBOX \"Go on?\" \"Yes\" \"No\"; after: END", 1, 200, "Go on?", {"Yes", "No"}},
      {"PUSHFALSE; box: MESSAGEBOX \"\" \"\" \"only\"; after: END", 0, 0, "", {"", "only"}},
      {"PUSHTRUE; box: MESSAGEBOX \"Note\"; after: END", 1, 7, "Note", {}},
  };
  for (const Row &row : rows) {
    BoxRun r;
    r.load(row.code);
    g_box.answer = row.answer;
    zt::execute(r.loaded);
    ASSERT_FALSE(zek_hasError()) << row.code << ": " << zt::errorText();
    ASSERT_EQ(g_box.calls, 1) << row.code;
    // The position is the byte behind the count; the items follow it in the byte code.
    uint32_t position = r.at("box") + 1 + (uint32_t)row.text.size() + 1 + 1;
    EXPECT_EQ(g_box.position, position) << row.code;
    EXPECT_EQ(g_box.flag, row.flag) << row.code;
    EXPECT_EQ(g_box.text, row.text) << row.code;
    EXPECT_EQ(g_box.count, row.items.size()) << row.code;
    EXPECT_EQ(g_box.items, row.items) << row.code;
    ASSERT_NE(g_box.itemsPointer, nullptr) << row.code;
    if (!row.items.empty()) EXPECT_EQ(g_box.itemsPointer, (const char *)vmstate0.image + position);
    else EXPECT_STREQ(g_box.itemsPointer, "");
    // The answer replaces the flag, and the code went on right behind the last item.
    expectStack(1, 1);
    ZekValueView v = zt::topView();
    EXPECT_EQ(v.type, (uint32_t)ZEK_UINT8);
    EXPECT_EQ(v.scalar, 1);
    EXPECT_EQ(zt::top<uint8_t>(), row.answer) << row.code;
    EXPECT_EQ(vmstate0.pc, r.at("after") + 1) << row.code;
  }
}

TEST(MessageBox, WithoutACommandRaises118AndPushesNothing) {
  BoxRun r;
  r.load("PUSHTRUE; MESSAGEBOX \"x\" \"a\"; ENDCYCLE", false);
  EXPECT_EQ(zek_runCycle(), 1u);
  EXPECT_EQ(zek_getErrorCode(), 118);
  EXPECT_EQ(zt::bareError(), "The message box command is not installed on this platform.");
  zt::execute(r.loaded);
  expectStack(0, 0);
}

TEST(MessageBox, TextsThatDoNotEndInsideTheCodeRaise117BeforeTheCall) {
  const char *codes[] = {
      "PUSHTRUE; BYTES 51 65 66",             // message text runs into the end of the code
      "PUSHTRUE; BYTES 51 65 0",              // no count
      "PUSHTRUE; BYTES 51 65 0 2 66 0 67",    // second item unterminated
  };
  for (const char *code : codes) {
    BoxRun r;
    r.load(code);
    zt::execute(r.loaded);
    EXPECT_EQ(zek_getErrorCode(), 117) << code;
    EXPECT_EQ(g_box.calls, 0) << code;
  }
}

// MEASUREMENT pops its bool like MESSAGEBOX pops its flag.
TEST(MessageBox, FlagAndMeasurementPopABoolScalar) {
  struct Row { const char *what; std::vector<Operand> operands; uint16_t code; std::string message; };
  const Row rows[] = {
      {"int8", {Operand{"\1", true, ZEK_INT8}}, 18, "Type mismatch on parameter stack. Expected bool, got int8."},
      {"uint8", {chr(1)}, 18, "Type mismatch on parameter stack. Expected bool, got uint8."},
      {"array", {Operand{"\1\1\1", false, ZEK_BOOL}}, 104, "popScalar: Expected scalar, got array (3)."},
      {"empty", {}, 109, "An underflow of the parameter stack occurred."},
  };
  for (const char *code : {"MESSAGEBOX \"q\" \"a\"; END", "MEASUREMENT; END"}) {
    for (const Row &row : rows) {
      StackRun r;
      r.load(code);
      zek_installMessageBoxCmd(recordingBox);
      g_box = BoxCall{};
      r.run(row.operands);
      EXPECT_EQ(zek_getErrorCode(), row.code) << code << ": " << row.what;
      EXPECT_EQ(zt::bareError(), row.message) << code << ": " << row.what;
      EXPECT_EQ(g_box.calls, 0);
      EXPECT_EQ(zek_isRecordCycle(), 1) << "a failing MEASUREMENT keeps the flag";
    }
  }
}

// ---------------------------------------------------------------------------------------------
// MEASUREMENT

TEST(Measurement, StoresTheRecordCycleFlag) {
  struct Row { const char *code; uint8_t flag; };
  const Row rows[] = {
      {"PUSHFALSE; MEASUREMENT; END", 0},
      {"PUSHTRUE; MEASUREMENT; END", 1},
      {"PUSHBOOL 2; MEASUREMENT; END", 1},
      {"PUSHFALSE; MEASUREMENT; PUSHTRUE; MEASUREMENT; END", 1},
  };
  for (const Row &row : rows) {
    zt::Program p;
    p.code = row.code;
    auto l = zt::load(p);
    ASSERT_EQ(l.result, 0u) << zt::errorText();
    EXPECT_EQ(zek_isRecordCycle(), 1) << "set by the load";
    EXPECT_EQ(zek_runCycle(), 2u) << zt::errorText();
    EXPECT_EQ(zek_isRecordCycle(), row.flag) << row.code;
  }
}

TEST(Measurement, FlagPersistsUntilTheNextMeasurementOrLoad) {
  zt::Program p;
  p.code = "PUSHFALSE; MEASUREMENT; ENDCYCLE";
  p.timeout = 100;
  auto l = zt::load(p);
  ASSERT_EQ(l.result, 0u) << zt::errorText();
  ASSERT_EQ(zek_runCycle(), 0u) << zt::errorText();
  EXPECT_EQ(zek_isRecordCycle(), 0);
  // The VM runs the code from the loaded buffer: turn the first two instructions into NOPs so
  // that the following cycles execute no MEASUREMENT.
  l.image.bytes[l.image.layout.codeBase] = OP_NOP;
  l.image.bytes[l.image.layout.codeBase + 1] = OP_NOP;
  for (int cycle = 0; cycle < 2; ++cycle) {
    ASSERT_EQ(zek_runCycle(), 0u) << zt::errorText();
    EXPECT_EQ(zek_isRecordCycle(), 0) << "cycle " << cycle;
  }
  auto again = zt::load(p);
  ASSERT_EQ(again.result, 0u);
  EXPECT_EQ(zek_isRecordCycle(), 1);
}

// ---------------------------------------------------------------------------------------------
// STRING

TEST(String, AcceptsOnlyTheThreeWrites) {
  for (unsigned opcode : {0u, 1u, 12u, 16u, 54u, 255u}) {
    zt::Program p;
    p.code = "STRING " + std::to_string(opcode) + "; BYTES 0 0; END";
    auto l = zt::load(p);
    ASSERT_EQ(l.result, 0u) << zt::errorText();
    zt::execute(l);
    EXPECT_EQ(zek_getErrorCode(), 117) << opcode;
    EXPECT_EQ(zt::bareError(), "STRING cannot be used with opcode " + std::to_string(opcode) + ".");
    EXPECT_EQ(vmstate0.stringWrite, 0);
  }
  zt::Program cut;
  cut.code = "BYTES 54";
  auto l = zt::load(cut);
  ASSERT_EQ(l.result, 0u) << zt::errorText();
  zt::execute(l);
  EXPECT_EQ(zek_getErrorCode(), 117);
  EXPECT_EQ(zt::bareError().find("STRING cannot"), std::string::npos) << "the missing operand is reported";
}

// A stand-in for the write instructions that notes what STRING hands it.
struct FakeWrite {
  int calls = 0;
  uint8_t flagDuringWrite = 0;
  uint16_t channel = 0;
  bool fail = false;
};
FakeWrite g_write;

void fakeWrite(void) {
  ++g_write.calls;
  g_write.flagDuringWrite = vmstate0.stringWrite;
  g_write.channel = op_u16();
  if (g_write.fail) zek_raiseError(ZEK_ERR_LIMIT, "fake write failed");
}

struct HandlerSwap {
  uint8_t opcode;
  ZekOpcodeHandler saved;
  HandlerSwap(uint8_t op, ZekOpcodeHandler h) : opcode(op), saved(zek_byteCodeHandler[op]) { zek_byteCodeHandler[op] = h; }
  ~HandlerSwap() { zek_byteCodeHandler[opcode] = saved; }
};

TEST(String, RunsTheWriteWithTheFlagAndAlwaysClearsIt) {
  for (uint8_t opcode : {OP_WRITEALL, OP_WRITEPART, OP_WRITESLICE}) {
    for (bool fail : {false, true}) {
      HandlerSwap swap(opcode, fakeWrite);
      g_write = FakeWrite{};
      g_write.fail = fail;
      zt::Program p;
      p.code = "STRING " + std::to_string(opcode) + "; BYTES 3 0; after: END";
      std::map<std::string, uint32_t> labels;
      zt::assemble(p, p.code, &labels);
      auto l = zt::load(p);
      ASSERT_EQ(l.result, 0u) << zt::errorText();
      zt::execute(l);
      EXPECT_EQ(g_write.calls, 1);
      EXPECT_EQ(g_write.flagDuringWrite, 1);
      EXPECT_EQ(g_write.channel, 3) << "the write reads its operand behind STRING's";
      EXPECT_EQ(vmstate0.stringWrite, 0) << "fail=" << fail;
      if (fail) {
        EXPECT_EQ(zek_getErrorCode(), 111);
      } else {
        EXPECT_FALSE(zek_hasError()) << zt::errorText();
        EXPECT_EQ(vmstate0.pc, vmstate0.codeBase + labels.at("after") + 1);
      }
    }
  }
}

// Writes through the channel instructions: a string shorter or longer than the signal.
struct StringWrite : StackRun {
  void loadSignal(const std::string &code) {
    zt::Program p;
    p.code = code;
    zt::Channel &c = p.channel("s", ZEK_UINT8, 3, 6);
    c.init = {'x', 'x', 'x', 'x', 'x', 'x'};
    zt::assemble(p, code, &labels);
    loaded = zt::load(p);
    ASSERT_EQ(loaded.result, 0u) << zt::errorText();
  }
  std::string signal() { return std::string((const char *)zt::channel("s")->value, 6); }
};

TEST(String, WriteAllPadsTheSignalWithZeros) {
  struct Row { Operand value; std::string stored; };
  Operand int8Text{"hi\0"s, false, ZEK_INT8};
  const Row rows[] = {
      {str("ab\0"s), "ab\0\0\0\0"s},
      {str("hello\0junk"s), "hello\0"s},
      {str("abcdef"), "abcdef"},
      {int8Text, "hi\0\0\0\0"s},
  };
  for (const Row &row : rows) {
    StringWrite w;
    w.loadSignal("STRING 13; BYTES 0 0; END");
    w.run({row.value});
    ASSERT_FALSE(zek_hasError()) << zt::errorText();
    EXPECT_EQ(w.signal(), row.stored);
    EXPECT_EQ(vmstate0.stringWrite, 0);
    expectStack(0, 0);
  }
}

TEST(String, FailedWriteLeavesNoStringModeBehind) {
  StringWrite w;
  w.loadSignal("STRING 13; BYTES 0 0; END; plain: WRITEALL s; END");
  w.run({str("much too long\0"s)});
  EXPECT_EQ(zek_getErrorCode(), 111);
  EXPECT_EQ(zt::bareError(), "String too long. Unable to write string with length 13 into the signal s[6].");
  EXPECT_EQ(vmstate0.stringWrite, 0);
  EXPECT_EQ(w.signal(), "xxxxxx");
  // A plain write afterwards treats a short array by its shape again.
  w.run({str("ab\0"s)}, w.labels.at("plain"));
  EXPECT_EQ(zek_getErrorCode(), 111);
  EXPECT_EQ(zt::bareError(), "Unable to write a value with dimension [3] into the signal s[6].");
  EXPECT_EQ(w.signal(), "xxxxxx");
}

}  // namespace
