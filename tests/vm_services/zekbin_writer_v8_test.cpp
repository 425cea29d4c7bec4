// The version-8 record writer, read back with the tests' own version-8 reader.
#include "zekbin_writer_v8.h"

#include <gtest/gtest.h>

#include "record_support.h"
#include "zekbin8_reader.h"

namespace {

// A recording into a real file through the version-8 writer.
struct Recording8 {
  std::string path;
  FILE *stream = nullptr;
  Zekbin8Writer writer{};

  explicit Recording8(const std::string &name, std::vector<ChannelDecl *> channels = rt::recordedChannels()) {
    path = rt::tempPath(name);
    stream = std::fopen(path.c_str(), "wb+");
    EXPECT_NE(stream, nullptr) << path;
    VmData *d = zek_getData();
    EXPECT_EQ(zek_write_zekbin8_headerblock(&writer, stream, channels.data(), (uint16_t)channels.size(), d->enumSets,
                                            d->enumSetCount, d->events, d->eventCount, zek_isSutSynchron()),
              ZEKBIN8_OK);
  }
  ~Recording8() { close(); }
  void close() {
    zek_release_zekbin8_writer(&writer);
    if (stream != nullptr) std::fclose(stream);
    stream = nullptr;
  }
  z8::File read() {
    close();
    return z8::read(rt::readAll(path));
  }
};

zt::Program recordedProgram() {
  zt::Program p;
  p.enums.push_back({6, {1, 2}, {"on", "off"}});
  p.events.push_back({7, "alarm"});
  p.channel("x", 6, 0).flags = 2;
  zt::Channel &m = p.channel("m", 9, 1, 6);
  m.flags = 2;
  m.dims = std::vector<uint32_t>{2, 3};
  p.channel("k", 3, 2).flags = 2;
  p.channel("unrecorded", 6, 3);
  zt::Channel &full = p.channel("full", 1, 3, 20);
  full.flags = 2;
  full.scaling = std::vector<double>{1.0, 2.0, 0.0, 1.0};
  full.externalName = "F_ext";
  full.option2 = 3;
  full.option4 = 7;
  full.option5 = 8;
  full.attributes = std::vector<std::string>{"unit=V", "a=b"};
  return p;
}

TEST(ZekbinWriterV8, HeaderDeclaresChannelsInTheShortForm) {
  zt::Loaded l = rt::loadProgram(recordedProgram());
  std::vector<ChannelDecl *> channels = rt::recordedChannels();
  ASSERT_EQ(channels.size(), 4u);
  for (ChannelDecl *c : channels) {
    // Only the id and options 4 and 5 are narrower than in version 9.
    int32_t narrower = 2 + (c->option4 != -1 ? 2 : 0) + (c->option5 != -1 ? 2 : 0);
    EXPECT_EQ(zekbin_getSignalDeclLengthOf(c, 8), zek_getSignalDeclLength(c) - narrower) << c->name;
  }
  Recording8 r("header");
  z8::File f = r.read();
  std::vector<uint8_t> bytes = rt::readAll(r.path);
  EXPECT_EQ(f.version, 8);
  EXPECT_EQ(f.byteOrder, 0);
  EXPECT_EQ(f.enumSetCount, 1);
  ASSERT_EQ(f.eventDecls.size(), 1u);
  EXPECT_EQ(f.eventDecls[0], (std::pair<uint16_t, std::string>{7, "alarm"}));
  ASSERT_EQ(f.decls.size(), 4u);
  EXPECT_TRUE(f.blocks.empty());
  const z8::Decl &m = f.decls[1];
  EXPECT_EQ(m.name, "m");
  EXPECT_EQ(m.type, 9);
  EXPECT_EQ(m.count, 6u);
  EXPECT_EQ(m.role, 1);
  EXPECT_EQ(m.flags & 2, 2);
  EXPECT_EQ(m.dims, (std::vector<uint32_t>{2, 3}));
  const z8::Decl &full = f.decls[3];
  EXPECT_EQ(full.id, channels[3]->id);
  EXPECT_EQ(full.heapOffset, channels[3]->heapOffset);
  EXPECT_EQ(full.scaling, (std::vector<double>{1.0, 2.0, 0.0, 1.0}));
  EXPECT_EQ(full.externalName, "F_ext");
  EXPECT_EQ(full.option2, 3);
  EXPECT_EQ(full.option4, 7);
  EXPECT_EQ(full.option5, 8);
  EXPECT_EQ(full.attributes, (std::vector<std::string>{"unit=V", "a=b"}));
  // The file ends right behind the last declaration.
  // magic, 3 bytes, the enum set (18 bytes), the event declaration (8 bytes), with their counts.
  EXPECT_EQ(bytes.size(), 6 + 3 + 2 + 18 + 2 + 8 + 2 + (size_t)[&] {
    int32_t n = 0;
    for (ChannelDecl *c : channels) n += zekbin_getSignalDeclLengthOf(c, 8);
    return n;
  }());
}

TEST(ZekbinWriterV8, RowsCarryTheChangesOnlyAndReadBackWhole) {
  zt::Loaded l = rt::loadProgram(recordedProgram());
  std::vector<ChannelDecl *> all = rt::recordedChannels();
  ChannelDecl *x = all[0], *full = all[3];
  std::vector<ChannelDecl *> block{x, full};
  Recording8 r("rows");
  ASSERT_EQ(zek_write_zekbin8_datablock_header(&r.writer, block.data(), 2, 0, 10000), ZEKBIN8_OK);
  long afterHeader = std::ftell(r.stream);
  std::vector<std::vector<uint8_t>> expected;
  for (int row = 0; row < 5; ++row) {
    if (row != 2 && row != 3) rt::setElement<int32_t>(x, 0, 100 + row);
    if (row == 3) rt::setElement<uint8_t>(full, 19, 0xAB);
    if (row == 4) rt::setElement<uint8_t>(full, 0, 1);
    std::vector<uint8_t> bytes(x->value, x->value + 4);
    bytes.insert(bytes.end(), full->value, full->value + 20);
    expected.push_back(bytes);
    long before = std::ftell(r.stream);
    ASSERT_EQ(zek_write_zekbin8_signaldatarow(&r.writer, nullptr), ZEKBIN8_OK);
    long size = std::ftell(r.stream) - before;
    // 24 row bytes: 3 level-1 bytes, 1 level-2 byte, 1 level-3 byte.
    const long sizes[5] = {1 + 24, -1, 1 + 1, 1 + 1 + 1 + 1 + 1, -1};
    // Row 2 is the kind and an empty level 3; row 3 adds one byte of each level and the byte.
    if (sizes[row] >= 0) {
      EXPECT_EQ(size, sizes[row]) << row;
    }
  }
  EXPECT_GT(std::ftell(r.stream), afterHeader);
  ASSERT_EQ(zek_close_zekbin8_datablock(&r.writer, nullptr), ZEKBIN8_OK);
  z8::File f = r.read();
  ASSERT_EQ(f.blocks.size(), 1u);
  const z8::Block &b = f.blocks[0];
  EXPECT_EQ(b.firstTime, 0u);
  EXPECT_EQ(b.step, 10000u);
  EXPECT_EQ(b.ids, (std::vector<uint16_t>{x->id, full->id}));
  ASSERT_EQ(b.rows.size(), 5u);
  for (size_t i = 0; i < 5; ++i) {
    EXPECT_EQ(b.rows[i].kind, 1);
    EXPECT_EQ(b.rows[i].bytes, expected[i]) << i;
  }
  EXPECT_EQ(z8::valuesOf<int32_t>(f, b, 4, x->id), std::vector<int32_t>{104});
  EXPECT_FALSE(b.endEvents.has_value());
}

TEST(ZekbinWriterV8, ChangesAcrossEveryMaskLevelReadBack) {
  // 1001 bytes: 126 level-1 bytes, 16 level-2 bytes, 2 level-3 bytes, none of them full.
  zt::Program p;
  p.valueStack = 1 << 14;
  p.channel("wide", 1, 0, 1001).flags = 2;
  zt::Loaded l = rt::loadProgram(p);
  ChannelDecl *wide = rt::recordedChannels()[0];
  Recording8 r("levels");
  ASSERT_EQ(zek_write_zekbin8_datablock_header(&r.writer, &wide, 1, 0, 1), ZEKBIN8_OK);
  std::vector<std::vector<uint8_t>> expected;
  uint32_t seed = 12345;
  for (int row = 0; row < 40; ++row) {
    // A few scattered bytes, a run, and now and then the very first and last byte.
    for (int k = 0; k < row % 7; ++k) {
      seed = seed * 1103515245u + 12345u;
      wide->value[(seed >> 8) % 1001] ^= (uint8_t)(1 + (seed >> 24) % 255);
    }
    if (row % 5 == 1)
      for (int b = 500; b < 530; ++b) wide->value[b] = (uint8_t)(row + b);
    if (row % 9 == 3) {
      wide->value[0] ^= 0xFF;
      wide->value[1000] ^= 0x0F;
    }
    expected.emplace_back(wide->value, wide->value + 1001);
    ASSERT_EQ(zek_write_zekbin8_signaldatarow(&r.writer, nullptr), ZEKBIN8_OK);
  }
  ASSERT_EQ(zek_close_zekbin8_datablock(&r.writer, nullptr), ZEKBIN8_OK);
  z8::File f = r.read();
  ASSERT_EQ(f.blocks.size(), 1u);
  ASSERT_EQ(f.blocks[0].rows.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(f.blocks[0].rows[i].bytes, expected[i]) << i;
}

TEST(ZekbinWriterV8, EventsGoWithTheirRowAndTheEnd) {
  zt::Loaded l = rt::loadProgram(recordedProgram());
  ChannelDecl *x = rt::recordedChannels()[0];
  Recording8 r("events");
  // A block without channels writes rows only for cycles with events.
  ASSERT_EQ(zek_write_zekbin8_datablock_header(&r.writer, nullptr, 0, 500, 20), ZEKBIN8_OK);
  rt::Events one;
  one.add(7, {1, 2, 3});
  EXPECT_EQ(zek_write_zekbin8_signaldatarow(&r.writer, nullptr), ZEKBIN8_OK);
  EXPECT_EQ(zek_write_zekbin8_signaldatarow(&r.writer, one.list()), ZEKBIN8_OK);
  EXPECT_EQ(zek_close_zekbin8_datablock(&r.writer, nullptr), ZEKBIN8_OK);
  // A block over x: events in row 1 and pending at the end.
  ASSERT_EQ(zek_write_zekbin8_datablock_header(&r.writer, &x, 1, 0, 10), ZEKBIN8_OK);
  rt::Events two;
  two.add(7, {});
  two.add(9, {5});
  EXPECT_EQ(zek_write_zekbin8_signaldatarow(&r.writer, nullptr), ZEKBIN8_OK);
  EXPECT_EQ(zek_write_zekbin8_signaldatarow(&r.writer, two.list()), ZEKBIN8_OK);
  EXPECT_EQ(zek_close_zekbin8_datablock(&r.writer, one.list()), ZEKBIN8_OK);
  z8::File f = r.read();
  ASSERT_EQ(f.blocks.size(), 2u);
  const z8::Block &empty = f.blocks[0];
  ASSERT_EQ(empty.rows.size(), 1u);
  EXPECT_EQ(empty.rows[0].kind, 3);
  ASSERT_TRUE(empty.rows[0].events.has_value());
  EXPECT_EQ(empty.rows[0].events->time, 500u);  // the block's first row
  EXPECT_EQ(empty.rows[0].events->events[0].data, (std::vector<uint8_t>{1, 2, 3}));
  EXPECT_FALSE(empty.endEvents.has_value());
  const z8::Block &b = f.blocks[1];
  ASSERT_EQ(b.rows.size(), 2u);
  EXPECT_EQ(b.rows[0].kind, 1);
  EXPECT_EQ(b.rows[1].kind, 3);
  ASSERT_TRUE(b.rows[1].events.has_value());
  EXPECT_EQ(b.rows[1].events->time, 10u);
  ASSERT_EQ(b.rows[1].events->events.size(), 2u);
  EXPECT_EQ(b.rows[1].events->events[1].id, 9);
  EXPECT_EQ(b.rows[1].events->events[1].data, std::vector<uint8_t>{5});
  ASSERT_TRUE(b.endEvents.has_value());
  EXPECT_EQ(b.endEvents->time, 20u);
}

TEST(ZekbinWriterV8, ABlockHeaderNeedsTheFileHeader) {
  zt::Loaded l = rt::loadProgram(recordedProgram());
  ChannelDecl *x = rt::recordedChannels()[0];
  Zekbin8Writer writer{};
  zek_resetError();
  EXPECT_EQ(zek_write_zekbin8_datablock_header(&writer, &x, 1, 0, 1), ZEKBIN8_NO_HEADER);
  EXPECT_EQ(zek_getErrorCode(), 19);
  EXPECT_EQ(zt::bareError(), "Attempt to write zekbin block header without file header information.");
  EXPECT_EQ(zek_write_zekbin8_signaldatarow(&writer, nullptr), ZEKBIN8_NO_HEADER);
  zek_resetError();
  zek_release_zekbin8_writer(&writer);
}

TEST(ZekbinWriterV8, TheStepFieldIsPatchedInPlace) {
  zt::Loaded l = rt::loadProgram(recordedProgram());
  std::vector<ChannelDecl *> all = rt::recordedChannels();
  ChannelDecl *k = all[2];
  Recording8 r("patch");
  ASSERT_EQ(zek_write_zekbin8_datablock_header(&r.writer, &k, 1, 0, 1), ZEKBIN8_OK);
  int64_t stepAt = r.writer.stepPosition;
  EXPECT_EQ(zek_write_zekbin8_signaldatarow(&r.writer, nullptr), ZEKBIN8_OK);
  EXPECT_EQ(zek_close_zekbin8_datablock(&r.writer, nullptr), ZEKBIN8_OK);
  ASSERT_EQ(zek_write_zekbin8_datablock_header(&r.writer, &all[0], 1, 0, 10000), ZEKBIN8_OK);
  EXPECT_EQ(zek_write_zekbin8_signaldatarow(&r.writer, nullptr), ZEKBIN8_OK);
  EXPECT_EQ(zek_patch_zekbin8_u64(&r.writer, stepAt, 40000), ZEKBIN8_OK);
  EXPECT_EQ(zek_write_zekbin8_signaldatarow(&r.writer, nullptr), ZEKBIN8_OK);  // appended, not at the patch
  EXPECT_EQ(zek_close_zekbin8_datablock(&r.writer, nullptr), ZEKBIN8_OK);
  z8::File f = r.read();
  ASSERT_EQ(f.blocks.size(), 2u);
  EXPECT_EQ(f.blocks[0].offset + 8, (uint64_t)stepAt);
  EXPECT_EQ(f.blocks[0].step, 40000u);
  EXPECT_EQ(f.blocks[1].step, 10000u);
  EXPECT_EQ(f.blocks[1].rows.size(), 2u);
}

TEST(ZekbinWriterV8, AFullDeviceIsReportedAndSticks) {
  zt::Loaded l = rt::loadProgram(recordedProgram());
  std::vector<ChannelDecl *> all = rt::recordedChannels();
  FILE *full = std::fopen("/dev/full", "wb");
  if (full == nullptr) GTEST_SKIP() << "no /dev/full";
  VmData *d = zek_getData();
  Zekbin8Writer writer{};
  zek_write_zekbin8_headerblock(&writer, full, all.data(), (uint16_t)all.size(), d->enumSets, d->enumSetCount,
                                d->events, d->eventCount, 0);
  zek_write_zekbin8_datablock_header(&writer, all.data(), 1, 0, 1);
  zek_write_zekbin8_signaldatarow(&writer, nullptr);
  EXPECT_EQ(zek_close_zekbin8_datablock(&writer, nullptr), ZEKBIN8_STREAM);
  EXPECT_EQ(zek_write_zekbin8_signaldatarow(&writer, nullptr), ZEKBIN8_STREAM);
  zek_release_zekbin8_writer(&writer);
  std::fclose(full);
}

}  // namespace
