// The parameter-file reader: files written by the record writer read back into channel records,
// and every malformed or cut file refused without reading outside it.
#include <algorithm>
#include <cmath>

#include "record_support.h"
#include "zekbin_paramfile.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Parameters of every kind of declaration part.
zt::Program parameterProgram() {
  zt::Program p;
  p.enums.push_back(zt::EnumSet{4, {-1, 1}, {"neg", "pos"}});
  zt::Channel &a = p.channel("p_u8", 1, 2);
  a.flags = 0x3F;
  zt::Channel &b = p.channel("p_i16", 4, 2);
  b.flags = 0x02;
  b.option2 = -7;
  b.option4 = 0x1234;
  b.option5 = -2;
  zt::Channel &c = p.channel("p_d3", 9, 2, 3);
  c.flags = 0x12;
  c.scaling = std::vector<double>{1, 2, 3, 4};
  c.externalName = "outside";
  c.dims = std::vector<uint32_t>{3};
  c.attributes = std::vector<std::string>{"exchangemode=LOCAL", "k=v"};
  p.channel("p_i64", 7, 2).flags = 0x06;
  p.channel("p_f", 8, 2, 2).flags = 0x0A;
  p.channel("p_b", 10, 2).flags = 0x22;
  p.channel("other", 5, 3);  // not recorded
  return p;
}

void setRow(int32_t r) {
  rt::setElement<uint8_t>(zt::channel("p_u8"), 0, (uint8_t)(200 + r));
  rt::setElement<int16_t>(zt::channel("p_i16"), 0, (int16_t)(-300 - r));
  for (uint32_t k = 0; k < 3; ++k) rt::setElement<double>(zt::channel("p_d3"), k, 1.25 * k - r);
  rt::setElement<int64_t>(zt::channel("p_i64"), 0, INT64_MIN + r);
  rt::setElement<float>(zt::channel("p_f"), 0, std::nanf("0x123"));
  rt::setElement<float>(zt::channel("p_f"), 1, -0.0f + (float)r);
  rt::setElement<uint8_t>(zt::channel("p_b"), 0, (uint8_t)(r % 2));
}

// Writes rows of the loaded parameter program and returns the file, with row 0's values.
Bytes writeParameters(const std::string &name, int32_t rows, std::vector<Bytes> *row0 = nullptr) {
  rt::Recording rec(name);
  for (int32_t r = 0; r < rows; ++r) {
    setRow(r);
    if (r == 0 && row0 != nullptr)
      for (ChannelDecl *c : rt::recordedChannels())
        row0->emplace_back(c->value, c->value + (size_t)c->elementCount * c->elementSize);
    EXPECT_EQ(rec.row((uint64_t)r), ZEKBIN_WRITE_OK);
  }
  EXPECT_EQ(rec.finish(), ZEKBIN_WRITE_OK);
  return rec.bytes();
}

std::string text(const char *s) { return s == nullptr ? "<null>" : s; }

void expectSameDeclaration(const ChannelDecl &got, const ChannelDecl &src, const Bytes &value) {
  SCOPED_TRACE(src.name);
  EXPECT_EQ(text(got.name), text(src.name));
  EXPECT_EQ(got.id, src.id);
  EXPECT_EQ(got.baseType, src.baseType);
  EXPECT_EQ(got.elementSize, src.elementSize);
  EXPECT_EQ(got.elementCount, src.elementCount);
  ASSERT_NE(got.value, nullptr);
  EXPECT_EQ(Bytes(got.value, got.value + value.size()), value);
  EXPECT_EQ(zekbin_channelFlagsByte(&got), zekbin_channelFlagsByte(&src));
  EXPECT_EQ(got.role, src.role);
  EXPECT_EQ(got.scaling != nullptr, src.scaling != nullptr);
  if (got.scaling != nullptr && src.scaling != nullptr) {
    EXPECT_EQ(std::memcmp(got.scaling, src.scaling, 32), 0);
  }
  EXPECT_EQ(text(got.externalName), text(src.externalName));
  EXPECT_EQ(got.option2, src.option2);
  EXPECT_EQ(got.option4, src.option4);
  EXPECT_EQ(got.option5, src.option5);
  ASSERT_EQ(got.dimCount, src.dimCount);
  for (uint8_t i = 0; i < got.dimCount; ++i) EXPECT_EQ(got.dims[i], src.dims[i]);
  ASSERT_EQ(got.attributes != nullptr, src.attributes != nullptr);
  if (got.attributes != nullptr) {
    ASSERT_EQ(zek_attributes_len(got.attributes), zek_attributes_len(src.attributes));
    EXPECT_EQ(std::memcmp(got.attributes, src.attributes, zek_attributes_len(src.attributes)), 0);
  }
  // Nothing else is filled in.
  EXPECT_EQ(got.heapOffset, 0u);
  EXPECT_TRUE(got.valueLoader == nullptr);
  EXPECT_EQ(got.hostWord, 0u);
  EXPECT_EQ(got.readWrite, 0);
  EXPECT_EQ(got.fixedDims, nullptr);
}

TEST(ZekbinParameterFile, RoundTripOfEveryDeclarationPartAndBothMagics) {
  auto l = rt::loadProgram(parameterProgram());
  // One row, and many rows whose first chunks fill during the run: row 0 is read either way.
  for (int32_t rows : {1, 40}) {
    std::vector<Bytes> row0;
    Bytes file = writeParameters("round_trip", rows, &row0);
    for (const char *magic : {"ZEKBIN", "EZBKNI"}) {
      SCOPED_TRACE(testing::Message() << rows << " rows, magic " << magic);
      std::memcpy(file.data(), magic, 6);
      rt::writeAll(rt::tempPath("param"), file);
      FILE *in = std::fopen(rt::tempPath("param").c_str(), "rb");
      ASSERT_NE(in, nullptr);
      uint32_t count = 99;
      EXPECT_EQ(zekbinFile_readFrom(in, &count), 0);
      std::fclose(in);
      std::vector<ChannelDecl *> src = rt::recordedChannels();
      ASSERT_EQ(count, src.size());
      ChannelDecl *table = zekbinFile_getVariables();
      ASSERT_NE(table, nullptr);
      for (size_t i = 0; i < src.size(); ++i) expectSameDeclaration(table[i], *src[i], row0[i]);
    }
  }
}

TEST(ZekbinParameterFile, FileWithoutSignalsGivesAnEmptyTable) {
  zt::Program p;
  p.channel("other", 5, 3);
  auto l = rt::loadProgram(p);
  rt::Recording rec("empty");
  ASSERT_EQ(rec.finish(), ZEKBIN_WRITE_OK);
  Bytes file = rec.bytes();
  uint32_t count = 99;
  EXPECT_EQ(zekbinFile_readFromMemory(file.data(), file.size(), &count), 0);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(zekbinFile_getVariables(), nullptr);
  // The same file before its finish patched the header: unfinished, refused.
  std::fill(file.begin() + 17, file.begin() + 45, 0);
  EXPECT_EQ(zekbinFile_readFromMemory(file.data(), file.size(), &count), 1);
  EXPECT_EQ(count, 0u);
}

// The strings of a declaration have limits: the name 1023 bytes, the external name and every
// attribute entry 255, the whole attribute list 2560 with its closing NUL.
TEST(ZekbinParameterFile, StringLimits) {
  struct Row { std::string what; size_t name, external, entry, entries; bool accepted; };
  const Row rows[] = {
      {"name at the limit", 1023, 0, 0, 0, true},
      {"name beyond", 1024, 0, 0, 0, false},
      {"external name at the limit", 1, 255, 0, 0, true},
      {"external name beyond", 1, 256, 0, 0, false},
      {"attribute entry at the limit", 1, 0, 255, 1, true},
      {"attribute entry beyond", 1, 0, 256, 1, false},
      {"attribute list at the limit", 1, 0, 255, 9, true},  // 9 * 256 + 255 + 1 = 2560
      {"attribute list beyond", 1, 0, 255, 10, false},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.what);
    zt::Program p;
    zt::Channel &c = p.channel(std::string(row.name, 'n'), 5, 2);
    c.flags = 2;
    if (row.external > 0) c.externalName = std::string(row.external, 'e');
    if (row.entries > 0) {
      std::vector<std::string> list(row.entries, "k=" + std::string(253, 'v'));
      list.back() = "k=" + std::string(row.entry - 2, 'w');
      if (row.what == "attribute list at the limit") list.push_back("k=" + std::string(252, 'x'));
      c.attributes = list;
    }
    auto l = rt::loadProgram(p);
    if (row.what == "attribute list at the limit") {
      ASSERT_EQ(zek_attributes_len(zt::channel(c.name)->attributes), 2560);
    }
    if (row.what == "attribute list beyond") {
      ASSERT_EQ(zek_attributes_len(zt::channel(c.name)->attributes), 2561);
    }
    rt::Recording rec("limits");
    rec.row();
    ASSERT_EQ(rec.finish(), ZEKBIN_WRITE_OK);
    Bytes file = rec.bytes();
    uint32_t count = 99;
    EXPECT_EQ(zekbinFile_readFromMemory(file.data(), file.size(), &count), row.accepted ? 0 : 1);
    EXPECT_EQ(count, row.accepted ? 1u : 0u);
    EXPECT_EQ(zekbinFile_getVariables() != nullptr, row.accepted);
  }
}

// Files that are not parameter files, or whose counts and positions leave the file or its data
// area, are refused with no table.
TEST(ZekbinParameterFile, RejectsMalformedFiles) {
  auto l = rt::loadProgram(parameterProgram());
  const Bytes good = writeParameters("good", 3);
  const zd::File f = zd::parse(good);
  ASSERT_EQ(f.error, "");
  const size_t firstRecord = f.signals[0].offset;
  const size_t index0 = (size_t)f.indexPosition;  // element 0's index record
  const size_t table0 = (size_t)f.elements[0].chunkTablePosition;
  auto put64 = [](Bytes &b, size_t at, int64_t v) { std::memcpy(b.data() + at, &v, 8); };
  auto put32 = [](Bytes &b, size_t at, uint32_t v) { std::memcpy(b.data() + at, &v, 4); };

  struct Row { const char *what; std::function<void(Bytes &)> patch; };
  const Row rows[] = {
      {"other magic", [](Bytes &b) { b[5] = 'X'; }},
      {"version 8", [](Bytes &b) { b[7] = 8; }},
      {"version 10", [](Bytes &b) { b[7] = 10; }},
      {"base type 0", [&](Bytes &b) { b[firstRecord + 8] = 0; }},
      {"base type 11", [&](Bytes &b) { b[firstRecord + 8] = 11; }},
      {"signal count beyond the file", [&](Bytes &b) { put32(b, firstRecord - 4, 0xFFFFFFFFu); }},
      {"element count beyond the file", [&](Bytes &b) { put32(b, firstRecord + 9, 0x7FFFFFFFu); }},
      {"index records beyond the file", [&](Bytes &b) { put64(b, 17, (int64_t)b.size() + 64); }},
      {"index records inside the header", [&](Bytes &b) { put64(b, 17, (int64_t)f.headerEnd - 1); }},
      {"index records at a negative position", [&](Bytes &b) { put64(b, 17, -32); }},
      {"chunk table beyond the file", [&](Bytes &b) { put64(b, index0 + 24, (int64_t)b.size() + 8); }},
      {"chunk table in the header", [&](Bytes &b) { put64(b, index0 + 24, 20); }},
      {"chunk table at a negative position", [&](Bytes &b) { put64(b, index0 + 24, INT64_MIN); }},
      {"chunk table in the index records", [&](Bytes &b) { put64(b, index0 + 24, (int64_t)index0); }},
      {"chunk beyond the file", [&](Bytes &b) { put64(b, table0, (int64_t)b.size()); }},
      {"chunk in the header", [&](Bytes &b) { put64(b, table0, 8); }},
      {"chunk reaching into the index records", [&](Bytes &b) { put64(b, table0, (int64_t)index0); }},
      {"no block: a file without rows", [&](Bytes &b) { put32(b, index0 + 20, 0); }},
      {"event list beyond the file", [&](Bytes &b) { put64(b, 37, (int64_t)b.size()); }},
      {"event count beyond the file", [&](Bytes &b) { put32(b, (size_t)f.eventListPosition, 1); }},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.what);
    Bytes bad = good;
    row.patch(bad);
    uint32_t count = 99;
    EXPECT_EQ(zekbinFile_readFromMemory(bad.data(), bad.size(), &count), 1);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(zekbinFile_getVariables(), nullptr);
  }
  uint32_t count = 0;
  EXPECT_EQ(zekbinFile_readFromMemory(good.data(), good.size(), &count), 0) << "the unpatched file is good";
}

TEST(ZekbinParameterFile, RejectsEventsRowlessFilesAndUnknownEnumTypes) {
  uint32_t count = 99;
  {
    zt::Program p = parameterProgram();
    p.events.push_back(zt::Event{1, "ev"});
    auto l = rt::loadProgram(p);
    Bytes file = writeParameters("with_event", 1);
    EXPECT_EQ(zekbinFile_readFromMemory(file.data(), file.size(), &count), 1) << "an event declaration";
  }
  {
    auto l = rt::loadProgram(parameterProgram());
    Bytes file = writeParameters("no_rows", 0);
    EXPECT_EQ(zekbinFile_readFromMemory(file.data(), file.size(), &count), 1) << "no rows: no value";
  }
  {
    auto l = rt::loadProgram(parameterProgram());
    Bytes file = writeParameters("enum_type", 1);
    file[47] = 11;  // the enum set's base type
    zek_resetError();
    EXPECT_EQ(zekbinFile_readFromMemory(file.data(), file.size(), &count), 1);
    EXPECT_EQ(zek_getErrorCode(), 18);
    EXPECT_EQ(zt::bareError(), "Type 11 not allowed in zek_getBaseTypeSize().");
    zek_resetError();
  }
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(zekbinFile_readFrom(nullptr, &count), 1);
}

// A file cut at any offset is refused, read from memory of exactly the bytes left (the
// sanitizer build sees every read beyond them) and from a real file.
TEST(ZekbinParameterFile, FileCutAtEveryOffsetIsRefused) {
  auto l = rt::loadProgram(parameterProgram());
  const Bytes file = writeParameters("cut", 20);
  for (size_t n = 0; n < file.size(); ++n) {
    Bytes cut(file.begin(), file.begin() + (long)n);
    cut.shrink_to_fit();
    uint32_t count = 99;
    zek_resetError();
    if (zekbinFile_readFromMemory(cut.empty() ? nullptr : cut.data(), n, &count) != 1 || count != 0 ||
        zekbinFile_getVariables() != nullptr) {
      ADD_FAILURE() << "accepted a file cut at " << n << " of " << file.size();
      break;
    }
    if (n % 97 == 0) {
      rt::writeAll(rt::tempPath("cut"), cut);
      FILE *in = std::fopen(rt::tempPath("cut").c_str(), "rb");
      ASSERT_NE(in, nullptr);
      EXPECT_EQ(zekbinFile_readFrom(in, &count), 1) << n;
      std::fclose(in);
    }
  }
  zek_resetError();
}

}  // namespace
