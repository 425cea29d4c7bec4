// The layout of the header and of the signal declarations, which the IDE exchange block and
// every reader share with the writer.
#include "record_support.h"
#include "zekbin_format.h"

namespace {

TEST(ZekbinHeader, IsWrittenByteForByteAtCreation) {
  zt::Program p;
  p.flags = 1;  // SuT-synchronous
  p.enums.push_back(zt::EnumSet{1, {1, 2}, {"a", "bc"}});
  p.events.push_back(zt::Event{7, "ev"});
  p.channel("x", 3, 1).flags = 0x02;
  p.channels.back().option2 = 5;
  zt::Channel &arr = p.channel("arr", 6, 1, 3);
  arr.flags = 0x0B;
  arr.dims = std::vector<uint32_t>{3};
  p.channel("loc", 9, 3);  // not recorded
  auto l = rt::loadProgram(p);

  rt::Recording rec("golden");
  std::fflush(rec.stream);
  const std::vector<uint8_t> expected = {
      'Z', 'E', 'K', 'B', 'I', 'N', 0, 9, 1,            // magic, little-endian, version, SuT-synchronous
      0x80, 0, 0, 0, 0, 0, 1, 0,                        // chunk sizes 128 and 65536
      0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,         // 28 bytes patched at the finish
      0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,         //
      1, 0,                                             // one enum set
      1, 2, 0, 1, 2, 'a', 0, 'b', 'c', 0,               // uint8, 2 values, 1 2, names
      1, 0,                                             // one event declaration
      7, 0, 'e', 'v', 0,                                //
      2, 0, 0, 0,                                       // two recorded signals
      0, 0, 0, 0, 0, 0, 0, 0, 3, 1, 0, 0, 0, 2, 1, 4,   // x: id 0, heap 0, uint16, 1, flags, role, mask
      'x', 0, 5, 0,                                     // name, option 2
      1, 0, 0, 0, 2, 0, 0, 0, 6, 3, 0, 0, 0, 0x0B, 1, 8,  // arr: id 1, heap 2, int32, 3 elements
      'a', 'r', 'r', 0, 1, 3, 0, 0, 0,                  // name, one dimension of 3
  };
  EXPECT_EQ(rec.bytes(), expected);

  ASSERT_EQ(rec.finish(), ZEKBIN_WRITE_OK);
  zd::File f = rec.decoded();
  ASSERT_EQ(f.error, "");
  EXPECT_EQ(f.headerEnd, expected.size());
  EXPECT_EQ(f.blockTablePosition, 0);
  EXPECT_EQ(f.blockTableCount, 0);
}

// Every optional part alone and all of them together: the length function, the serialiser and
// an independent parse of the record agree, and the mask names exactly the parts present.
TEST(ZekbinSignalDecl, LengthOfEachOptionalPart) {
  struct Row { const char *name; uint8_t mask; int32_t extra; };
  const Row rows[] = {
      {"s0", 0x00, 0},  {"s1", 0x01, 32}, {"s2", 0x02, 4}, {"s3", 0x04, 2}, {"s4", 0x08, 9},
      {"s5", 0x10, 4},  {"s6", 0x20, 4},  {"s7", 0x40, 5}, {"s8", 0x40, 10}, {"s9", 0x7F, 60},
  };
  zt::Program p;
  auto add = [&p](const char *name, bool scaling, bool ext, bool o2, bool dims, bool o4, bool o5,
                  std::vector<std::string> attributes) {
    zt::Channel &c = p.channel(name, 5, 1);
    c.flags = 2;
    if (scaling) c.scaling = std::vector<double>{1.5, -2, 0, 4};
    if (ext) c.externalName = "ext";
    if (o2) c.option2 = -3;
    if (dims) c.dims = std::vector<uint32_t>{2, ZEK_OPEN_DIMENSION};
    if (o4) c.option4 = -2;
    if (o5) c.option5 = 0x1234;
    if (!attributes.empty()) c.attributes = attributes;
  };
  add("s0", false, false, false, false, false, false, {});
  add("s1", true, false, false, false, false, false, {});
  add("s2", false, true, false, false, false, false, {});
  add("s3", false, false, true, false, false, false, {});
  add("s4", false, false, false, true, false, false, {});
  add("s5", false, false, false, false, true, false, {});
  add("s6", false, false, false, false, false, true, {});
  add("s7", false, false, false, false, false, false, {"a=b"});
  add("s8", false, false, false, false, false, false, {"a=b", "cd=e"});
  add("s9", true, true, true, true, true, true, {"a=b"});
  auto l = rt::loadProgram(p);

  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    const ChannelDecl *c = zt::channel(row.name);
    ASSERT_NE(c, nullptr);
    int32_t length = zek_getSignalDeclLength(c);
    EXPECT_EQ(length, 16 + 3 + row.extra);
    std::vector<uint8_t> buffer((size_t)length + 16, 0xCC);
    uint8_t *end = zek_zekbin_writeSignalDeclBlock(c, buffer.data());
    EXPECT_EQ(end - buffer.data(), length);
    EXPECT_EQ(buffer[(size_t)length], 0xCC) << "wrote beyond the record";
    zd::Signal s;
    std::string error;
    EXPECT_EQ(zd::parseSignal(buffer, 0, s, error), (size_t)length) << error;
    EXPECT_EQ(s.mask, row.mask);
    if (s.mask & 0x10) {
      EXPECT_EQ(s.option4, 0xFFFEu) << "option 4 zero-extended into 4 bytes";
    }
    if (s.mask & 0x20) {
      EXPECT_EQ(s.option5, 0x1234u);
    }
    if (s.mask & 0x08) {
      EXPECT_EQ(s.dims, (std::vector<uint32_t>{2, ZEK_OPEN_DIMENSION}));
    }
  }
}

// An attribute list without entries is one NUL to a reader (the first empty entry ends it) but
// two by the length of a list. The writer therefore leaves such a list out, and a reader refuses
// a list that is present without an entry instead of taking the next field's byte for its end.
TEST(ZekbinSignalDecl, EmptyAttributeListIsWrittenAsAbsent) {
  zt::Program p;
  p.channel("e", 5, 1).flags = 2;
  p.channels.back().attributes = std::vector<std::string>{};
  auto l = rt::loadProgram(p);
  ChannelDecl *c = zt::channel("e");
  ASSERT_NE(c->attributes, nullptr);
  ASSERT_EQ(c->attributes[0], '\0');

  EXPECT_EQ(zekbin_attributeListLength(c->attributes), 0u);
  EXPECT_EQ(zek_getSignalDeclLength(c), 16 + 2);
  std::vector<uint8_t> record(18);
  EXPECT_EQ(zek_zekbin_writeSignalDeclBlock(c, record.data()), record.data() + record.size());
  EXPECT_EQ(record[15] & ZEKBIN_PART_ATTRIBUTES, 0);

  // Decoding: a list of one entry takes its entry and the closing NUL; a present empty list fails.
  struct Row { std::vector<uint8_t> list; int32_t result; uint32_t length; };
  const Row rows[] = {
      {{'a', '=', 'b', 0, 0}, ZEKBIN_DECODE_OK, 5},
      {{0, 0}, ZEKBIN_DECODE_EMPTY_ATTRIBUTES, 0},
      {{0}, ZEKBIN_DECODE_EMPTY_ATTRIBUTES, 0},
      {{'a', '=', 'b', 0}, ZEKBIN_DECODE_TRUNCATED, 0},
  };
  for (const Row &row : rows) {
    std::vector<uint8_t> bytes = record;
    bytes[15] = ZEKBIN_PART_ATTRIBUTES;
    bytes.insert(bytes.end(), row.list.begin(), row.list.end());
    ZekbinCursor cur = zekbin_cursor(bytes.data(), bytes.size(), 0);
    ZekbinSignalDecl d;
    EXPECT_EQ(zekbin_decodeSignalDecl(&cur, nullptr, &d), row.result);
    if (row.result == ZEKBIN_DECODE_OK) {
      EXPECT_EQ(d.attributesLength, row.length);
      EXPECT_EQ(cur.pos, bytes.size());
    }
  }
}

TEST(ZekbinSignalDecl, DecoderMatchesTheSerialiser) {
  zt::Program p;
  zt::Channel &c = p.channel("all", 9, 2, 4);
  c.flags = 0x3F;
  c.scaling = std::vector<double>{1, 2, 3, 4};
  c.externalName = "outside";
  c.option2 = 7;
  c.dims = std::vector<uint32_t>{2, 2};
  c.option4 = 0x0102;
  c.option5 = -1 - 0x7000;
  c.attributes = std::vector<std::string>{"exchangemode=LOCAL", "x=1"};
  auto l = rt::loadProgram(p);
  ChannelDecl *ch = zt::channel("all");
  std::vector<uint8_t> bytes((size_t)zek_getSignalDeclLength(ch));
  zek_zekbin_writeSignalDeclBlock(ch, bytes.data());

  ZekbinCursor cur = zekbin_cursor(bytes.data(), bytes.size(), 0);
  ZekbinSignalDecl d;
  ASSERT_EQ(zekbin_decodeSignalDecl(&cur, &ZEKBIN_PARAMETER_LIMITS, &d), ZEKBIN_DECODE_OK);
  EXPECT_EQ(cur.pos, bytes.size());
  EXPECT_EQ(d.id, ch->id);
  EXPECT_EQ(d.heapOffset, ch->heapOffset);
  EXPECT_EQ(d.baseType, 9);
  EXPECT_EQ(d.elementCount, 4u);
  EXPECT_EQ(d.flags, 0x3F);
  EXPECT_EQ(d.role, 2);
  EXPECT_EQ(std::string(d.name, d.nameLength), "all");
  EXPECT_EQ(std::memcmp(d.scaling, ch->scaling, 32), 0);
  EXPECT_EQ(std::string(d.externalName), "outside");
  EXPECT_EQ(d.option2, 7);
  ASSERT_EQ(d.dimCount, 2);
  EXPECT_EQ(zek_load_as<uint32_t>(d.dims + 4), 2u);
  EXPECT_EQ(d.option4, 0x0102);
  EXPECT_EQ(d.option5, (uint16_t)(-1 - 0x7000));
  EXPECT_EQ(d.attributesLength, zek_attributes_len(ch->attributes));
  EXPECT_EQ(std::memcmp(d.attributes, ch->attributes, d.attributesLength), 0);

  ChannelDecl flags{};
  zek_setChannelFlags(&flags, d.flags);
  EXPECT_EQ(zekbin_channelFlagsByte(&flags), 0x3F);
  zek_setChannelFlags(&flags, 0x02);
  EXPECT_EQ(flags.recorded, 1);
  EXPECT_EQ(flags.flagBit0 + flags.flagBit2 + flags.flagBit4 + flags.isText + flags.needsNoPort, 0);
}

TEST(ZekbinStream, ByteLocationAndSampleOfRow) {
  struct Loc { uint64_t byte, chunk, offset; };
  for (Loc loc : {Loc{0, 0, 0}, Loc{127, 0, 127}, Loc{128, 1, 0}, Loc{128 + 65535, 1, 65535},
                  Loc{128 + 65536, 2, 0}}) {
    uint64_t chunk, offset;
    zekbin_streamByteLocation(loc.byte, 128, 65536, &chunk, &offset);
    EXPECT_EQ(chunk, loc.chunk) << loc.byte;
    EXPECT_EQ(offset, loc.offset) << loc.byte;
  }
  // A, B, C, C, C, C, D, E, E, E: samples A B C D E E E with the entry (6, 3).
  std::vector<uint8_t> list(8);
  zekbin_encodeRepetition(ZekbinRepetition{6, 3}, list.data());
  const int64_t expected[] = {0, 1, 2, 2, 2, 2, 3, 4, 5, 6};
  for (int32_t row = 0; row < 10; ++row) EXPECT_EQ(zekbin_sampleIndexOfRow(list.data(), 1, row), expected[row]) << row;
  EXPECT_EQ(zekbin_sampleIndexOfRow(nullptr, 0, 41), 41);
}

}  // namespace
