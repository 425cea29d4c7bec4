// Tests of the IDE exchange: the VM runs in this process, the IDE is the test IDE program,
// a separate process that opens the events and the block by name.
#include "exchange.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include <unistd.h>

#include "vm_harness.h"
#include "zek_platform.h"
#include "zekbin_format.h"

namespace {

namespace fs = std::filesystem;

const char *const kPrefixVariable = "ZEK_PLATFORM_NAME_PREFIX";
// Only a bound for an IDE that fails; a passing run never reaches it.
constexpr uint32_t kIdeLimitMs = 20000;
// The bound of the VM's waits where the IDE answers at once.
constexpr uint32_t kAnsweredWaitMs = 3000;
// Where the IDE is meant to stay silent.
constexpr uint32_t kSilentWaitMs = 200;

constexpr uint32_t kHeapSize = 520;
constexpr uint32_t kOffsetB = 512;  // channel b follows the 512 bytes of a

uint32_t le32(const std::vector<uint8_t> &bytes, uint64_t at) {
  return (uint32_t)bytes[at] | (uint32_t)bytes[at + 1] << 8 | (uint32_t)bytes[at + 2] << 16 |
         (uint32_t)bytes[at + 3] << 24;
}

uint16_t le16(const std::vector<uint8_t> &bytes, uint64_t at) {
  return (uint16_t)(bytes[at] | bytes[at + 1] << 8);
}

// A program with a heap of 520 bytes, one enum set and a channel with every optional field.
zt::Program program(const std::string &code = "ENDCYCLE") {
  zt::Program p;
  p.timeout = 100000;
  p.density = 10000;
  p.code = code;
  p.enums.push_back({6, {1, 2}, {"on", "off"}});
  p.channel("a", 1, 3, 512);
  zt::Channel &b = p.channel("b", 6, 3, 2);
  b.scaling = std::vector<double>{1.0, 2.0, 0.0, 1.0};
  b.externalName = "B_ext";
  b.option2 = 3;
  b.dims = std::vector<uint32_t>{2};
  b.option4 = 7;
  b.option5 = 8;
  b.attributes = std::vector<std::string>{"unit=V"};
  return p;
}

std::vector<uint8_t> readFile(const fs::path &path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class Exchange : public testing::Test {
 protected:
  fs::path dir;
  zt::Loaded loaded;
  // Both events exist from the start, so that an IDE can attach before the VM's first look;
  // the IDE's event shows when an IDE has attached.
  PlatEvent *attachEvent = nullptr;
  PlatEvent *vmEvent = nullptr;
  std::vector<PlatProcess *> ides;

  void SetUp() override {
    const testing::TestInfo *test = testing::UnitTest::GetInstance()->current_test_info();
    dir = fs::temp_directory_path() /
          ("zek-exchange-" + std::to_string(getpid()) + "-" + test->test_suite_name() + "." + test->name());
    fs::remove_all(dir);
    fs::create_directories(dir);
    zek_sharedmem_setWaitTimeout(kAnsweredWaitMs);
    attachEvent = plat_event_create(ZEK_EXCHANGE_TO_VM_EVENT);
    vmEvent = plat_event_create(ZEK_EXCHANGE_TO_IDE_EVENT);
    ASSERT_NE(attachEvent, nullptr);
    ASSERT_NE(vmEvent, nullptr);
    load(program());
  }

  void TearDown() override {
    zek_sharedmem_shutdown();
    for (PlatProcess *ide : ides) {
      plat_process_terminate(ide);
      plat_process_wait(ide, kIdeLimitMs);
      plat_process_close(ide);
    }
    plat_event_close(attachEvent);
    plat_event_close(vmEvent);
    fs::remove_all(dir);
  }

  void load(const zt::Program &p) {
    loaded = zt::load(p);
    ASSERT_EQ(loaded.result, 0u) << zt::errorText();
  }

  fs::path logPath(int index) { return dir / ("ide" + std::to_string(index) + ".log"); }

  // Starts a test IDE with the commands; returns its index.
  int startIde(const std::vector<std::string> &commands) {
    int index = (int)ides.size();
    std::string log = logPath(index).string();
    std::vector<const char *> argv{ZEK_TEST_IDE, log.c_str()};
    for (const std::string &c : commands) argv.push_back(c.c_str());
    argv.push_back(nullptr);
    PlatProcess *ide = plat_process_start(argv.data());
    EXPECT_NE(ide, nullptr);
    ides.push_back(ide);
    return index;
  }

  // Waits for the IDE's end and returns its log; its exit code must be 0.
  std::vector<std::string> finishIde(int index) {
    PlatProcess *ide = ides[(size_t)index];
    EXPECT_EQ(plat_process_wait(ide, kIdeLimitMs), PLAT_WAIT_OK);
    EXPECT_EQ(plat_process_exit_code(ide), 0);
    std::ifstream in(logPath(index));
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }

  // Until the IDE has set its event, so that the VM's next look finds it.
  void awaitAttachSignal() { ASSERT_EQ(plat_event_wait(attachEvent, kIdeLimitMs), PLAT_WAIT_OK); }

  static uint32_t cycle() {
    zek_sharedmem_beforecycle(zek_getData());
    uint32_t result = zek_runCycle();
    zek_sharedmem_aftercycle((int32_t)result);
    return result;
  }

  static bool blockExists() {
    PlatMapping *mapping = plat_mapping_open(ZEK_EXCHANGE_MAPPING_NAME);
    plat_mapping_close(mapping);
    return mapping != nullptr;
  }

  static uint8_t *heap() { return zek_getValuesHeapBuffer(); }
};

std::string seen(uint32_t cycle, int result = 0, const std::string &message = "", int hold = 0) {
  return "seen cycle=" + std::to_string(cycle) + " result=" + std::to_string(result) + " hold=" +
         std::to_string(hold) + " message=" + message;
}

TEST(ExchangeLayout, SizesAreComputedIn64BitsAndMustFit32) {
  struct Case {
    uint32_t heap;
    uint64_t enums, decls;
    bool fits;
    uint64_t padded, level1, level2, level3;
  };
  const Case cases[] = {
      {0, 0, 0, true, 0, 0, 0, 0},
      {1, 0, 0, true, 512, 64, 8, 1},
      {512, 10, 20, true, 512, 64, 8, 1},
      {520, 0, 0, true, 1024, 128, 16, 2},
      {0xE0000000u, 0, 0, true, 0xE0000000u, 0x1C000000u, 0x3800000u, 0x700000u},
      {0xF0000000u, 0, 0, false, 0xF0000000u, 0x1E000000u, 0x3C00000u, 0x780000u},
      {0xFFFFFE01u, 0, 0, false, 0x100000000ull, 0x20000000u, 0x4000000u, 0x800000u},  // S wraps in 32 bits
      {0xFFFFFFFFu, 0, 0, false, 0x100000000ull, 0x20000000u, 0x4000000u, 0x800000u},
      {512, 0xFFFFFF00u, 0xFFFFFF00u, false, 512, 64, 8, 1},  // declarations too large
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.heap);
    ZekExchangeLayout l;
    EXPECT_EQ(zek_exchange_layout(c.heap, c.enums, c.decls, &l), c.fits);
    EXPECT_EQ(l.paddedHeapSize, c.padded);
    EXPECT_EQ(l.level1Size, c.level1);
    EXPECT_EQ(l.level2Size, c.level2);
    EXPECT_EQ(l.level3Size, c.level3);
    EXPECT_EQ(l.total, 278 + c.enums + 2 + c.decls + 4 + c.padded + c.level1 + c.level2 + c.level3 + 1);
  }
  // The largest block that fits.
  ZekExchangeLayout l;
  uint64_t rest = 0xFFFFFFFFull - (278 + 2 + 4 + 1);
  uint64_t padded = rest / (512 + 64 + 8 + 1) * 512;
  EXPECT_TRUE(zek_exchange_layout((uint32_t)padded, 0, 0, &l));
  EXPECT_TRUE(zek_exchange_layout((uint32_t)padded, 0, rest - padded / 512 * 585, &l));
  EXPECT_FALSE(zek_exchange_layout((uint32_t)padded, 0, rest - padded / 512 * 585 + 1, &l));
}

TEST_F(Exchange, BlockLayoutForA520ByteHeap) {
  ASSERT_EQ(zek_getValuesHeapBufferSize(), kHeapSize);
  for (uint32_t k = 0; k < 512; ++k) zt::setValue<uint8_t>("a", (uint8_t)(k * 7 + 1), k);
  zt::setValue<int32_t>("b", -5, 0);
  zt::setValue<int32_t>("b", 77, 1);
  // A mapping left with other content by an earlier run: the VM must write every byte.
  PlatMapping *stale = plat_mapping_create(ZEK_EXCHANGE_MAPPING_NAME, 8192);
  ASSERT_NE(stale, nullptr);
  std::memset(plat_mapping_data(stale), 0xAA, 8192);

  fs::path dump = dir / "block";
  int ide = startIde({"attach", "await", "layout", "dump", dump.string(), "answer"});
  awaitAttachSignal();
  EXPECT_EQ(cycle(), 0u);
  std::vector<std::string> log = finishIde(ide);
  plat_mapping_close(stale);

  VmData *data = zek_getData();
  std::vector<uint8_t> enums((size_t)zek_getEnumSetDeclLength(&data->enumSets[0]));
  zekbin_encodeEnumSetDecl(&data->enumSets[0], enums.data());
  std::vector<uint8_t> decls;
  for (uint16_t i = 0; i < data->channelCount; ++i) {
    std::vector<uint8_t> one((size_t)zek_getSignalDeclLength(&data->channels[i]));
    EXPECT_EQ(zek_zekbin_writeSignalDeclBlock(&data->channels[i], one.data()), one.data() + one.size());
    decls.insert(decls.end(), one.begin(), one.end());
  }
  uint64_t heapAt = 278 + enums.size() + 2 + decls.size() + 4;
  uint64_t total = heapAt + 1024 + 128 + 16 + 2 + 1;

  std::vector<uint8_t> b = readFile(dump);
  ASSERT_EQ(b.size(), total);
  EXPECT_EQ(le32(b, 0), total);
  EXPECT_EQ(b[4], 2);
  EXPECT_EQ(le32(b, 5), 10000u);
  EXPECT_EQ(le32(b, 9), 100000u);
  EXPECT_EQ(le32(b, 13), 0u);
  EXPECT_EQ(b[17], 0);
  EXPECT_EQ(std::vector<uint8_t>(b.begin() + 18, b.begin() + 274), std::vector<uint8_t>(256, 0));
  EXPECT_EQ(b[274], 0);
  EXPECT_EQ(b[275], 0);
  EXPECT_EQ(le16(b, 276), 1);
  EXPECT_EQ(std::vector<uint8_t>(b.begin() + 278, b.begin() + 278 + (long)enums.size()), enums);
  uint64_t at = 278 + enums.size();
  EXPECT_EQ(le16(b, at), 2);
  EXPECT_EQ(std::vector<uint8_t>(b.begin() + (long)at + 2, b.begin() + (long)(at + 2 + decls.size())), decls);
  EXPECT_EQ(le32(b, heapAt - 4), 1024u);
  EXPECT_EQ(std::vector<uint8_t>(b.begin() + (long)heapAt, b.begin() + (long)heapAt + kHeapSize),
            std::vector<uint8_t>(heap(), heap() + kHeapSize));
  EXPECT_EQ(std::vector<uint8_t>(b.begin() + (long)heapAt + kHeapSize, b.end()),
            std::vector<uint8_t>(total - heapAt - kHeapSize, 0))
      << "padding, marks and overwrite flag start as 0";

  uint64_t l1 = heapAt + 1024, l2 = l1 + 128, l3 = l2 + 16, flag = l3 + 2;
  EXPECT_EQ(log, (std::vector<std::string>{
                     "attached", seen(0),
                     "layout total=" + std::to_string(total) + " enums=1 channels=2 S=1024 heap=" +
                         std::to_string(heapAt) + " level1=" + std::to_string(l1) + " level2=" +
                         std::to_string(l2) + " level3=" + std::to_string(l3) + " overwrite=" +
                         std::to_string(flag) + " names=a,b"}));
}

// The walk over the marks, on buffers of exactly the heap's size and mark levels of exactly
// their sizes, so that the sanitizer sees any byte read or written beyond them.
TEST_F(Exchange, MarkWalkTable) {
  enum Levels { ALL, LEVEL1_ONLY, LEVELS_1_2 };
  struct Mark {
    uint32_t byte;
    Levels levels;
  };
  struct Case {
    std::string what;
    std::vector<Mark> marks;
    uint8_t overwriteFlag;
    std::set<uint32_t> forced;
  };
  std::vector<Case> cases;
  for (uint32_t l = 0; l < 8; ++l)
    cases.push_back({"bit " + std::to_string(l), {{72 + l, ALL}}, 1, {72 + l}});
  cases.push_back({"level 1 without level 2", {{100, LEVEL1_ONLY}}, 1, {}});
  cases.push_back({"levels 1 and 2 without level 3", {{100, LEVELS_1_2}}, 1, {}});
  cases.push_back({"overwrite flag 0", {{100, ALL}, {513, ALL}}, 0, {}});
  cases.push_back({"block edges", {{0, ALL}, {7, ALL}, {63, ALL}, {64, ALL}, {511, ALL}, {512, ALL}}, 1,
                   {0, 7, 63, 64, 511, 512}});
  cases.push_back({"marks in the padding", {{519, ALL}, {520, ALL}, {527, ALL}, {600, ALL}, {1023, ALL}}, 1, {519}});

  const uint32_t size = kHeapSize;
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<uint8_t> level1(128), level2(16), level3(2);
    for (const Mark &m : c.marks) {
      level1[m.byte / 8] |= (uint8_t)(1u << (m.byte % 8));
      if (m.levels != LEVEL1_ONLY) level2[m.byte / 64] = 1;
      if (m.levels == ALL) level3[m.byte / 512] = 1;
    }
    ZekExchangeMarks marks{level1.data(), level2.data(), level3.data(), 2, &c.overwriteFlag};
    std::vector<uint8_t> source(size), original(size);
    for (uint32_t i = 0; i < size; ++i) {
      source[i] = (uint8_t)(i * 3 + 1);
      original[i] = (uint8_t)~source[i];
    }

    std::vector<uint8_t> published = original;
    zek_exchange_copyValueBuffers(source.data(), published.data(), size, &marks, false);
    std::memset(vmstate0.writtenFlags, 0, vmstate0.bitmapSize);
    std::vector<uint8_t> forced = original;
    zek_exchange_copyValueBuffers(source.data(), forced.data(), size, &marks, true);
    for (uint32_t i = 0; i < size; ++i) {
      bool isForced = c.forced.count(i) != 0;
      ASSERT_EQ(published[i], isForced ? original[i] : source[i]) << "normal mode, byte " << i;
      ASSERT_EQ(forced[i], isForced ? source[i] : original[i]) << "overwrite mode, byte " << i;
      ASSERT_EQ(zek_isWrittenFlag(i) != 0, isForced) << "written flag of byte " << i;
    }
  }
}

TEST_F(Exchange, ErrorMessageIsCutTo255Characters) {
  ZekErrorContextHandler context = zek_setErrorContextHandler(nullptr);
  int ide = startIde({"attach", "await", "answer", "await", "answer", "await", "answer", "await", "answer"});
  awaitAttachSignal();
  const std::string exact(255, 'm'), longer = std::string(255, 'n') + "X", longest(300, 'q');
  for (const std::string *message : {&exact, &longer, &longest}) {
    zek_raiseError(200, "%s", message->c_str());
    EXPECT_EQ(cycle(), 0u);
  }
  EXPECT_EQ(cycle(), 0u);  // no error: the flag goes to 0, the message stays
  zek_setErrorContextHandler(context);
  EXPECT_EQ(finishIde(ide), (std::vector<std::string>{"attached", seen(0, 1, exact), seen(1, 1, longer.substr(0, 255)),
                                                      seen(2, 1, std::string(255, 'q')),
                                                      seen(3, 0, std::string(255, 'q'))}));
}

TEST_F(Exchange, AttachesAtTheNext20thCycleDetachesWhenUnansweredAndAttachesAgain) {
  EXPECT_EQ(cycle(), 0u);
  EXPECT_FALSE(zek_sharedmem_isAttached());
  int first = startIde({"attach", "await", "answer", "await", "answer"});
  awaitAttachSignal();
  for (uint32_t n = 1; n < 20; ++n) {
    EXPECT_EQ(cycle(), 0u);
    EXPECT_FALSE(zek_sharedmem_isAttached()) << "cycle " << n;
  }
  EXPECT_FALSE(blockExists()) << "no block before the attach";
  EXPECT_EQ(cycle(), 0u);  // 20
  EXPECT_TRUE(zek_sharedmem_isAttached());
  EXPECT_EQ(cycle(), 0u);  // 21
  EXPECT_EQ(finishIde(first), (std::vector<std::string>{"attached", seen(20), seen(21)}));
  EXPECT_TRUE(zek_sharedmem_isAttached());
  zek_sharedmem_setWaitTimeout(kSilentWaitMs);
  EXPECT_EQ(cycle(), 0u);  // 22: the IDE has gone and does not answer
  EXPECT_FALSE(zek_sharedmem_isAttached());
  EXPECT_FALSE(blockExists()) << "the block is released";

  int second = startIde({"attach", "await", "answer"});
  awaitAttachSignal();
  for (uint32_t n = 23; n < 40; ++n) {
    EXPECT_EQ(cycle(), 0u);
    EXPECT_FALSE(zek_sharedmem_isAttached()) << "cycle " << n;
  }
  zek_sharedmem_setWaitTimeout(kAnsweredWaitMs);
  EXPECT_EQ(cycle(), 0u);  // 40
  EXPECT_EQ(finishIde(second), (std::vector<std::string>{"attached", seen(40)}));
}

TEST_F(Exchange, HoldKeepsTheVmWaitingAndPokesTakeEffect) {
  // Each wait is shorter than the whole hold: only the IDE's repeated signals keep the VM.
  zek_sharedmem_setWaitTimeout(600);
  std::string b = std::to_string(kOffsetB);
  int ide = startIde({"attach", "await", "hold", "1", "answer", "quiet", "250", "answer", "quiet", "250", "answer",
                      "quiet", "250", "poke", b, "42", "hold", "0", "answer", "await", "peek", b, "answer"});
  awaitAttachSignal();
  zek_sharedmem_beforecycle(zek_getData());
  EXPECT_TRUE(zek_sharedmem_isAttached());
  EXPECT_EQ(heap()[kOffsetB], 42) << "the IDE's change takes effect for this cycle";
  uint32_t result = zek_runCycle();
  zek_sharedmem_aftercycle((int32_t)result);
  EXPECT_EQ(cycle(), 0u);
  EXPECT_EQ(finishIde(ide), (std::vector<std::string>{"attached", seen(0), "quiet", "quiet", "quiet", seen(1),
                                                      "heap[" + b + "]=42"}));
}

TEST_F(Exchange, ForcedBytesKeepTheIdeValueWithTheirWrittenFlags) {
  std::string forced = std::to_string(kOffsetB), next = std::to_string(kOffsetB + 1), loose = "100";
  int ide = startIde({"attach", "await", "poke", forced, "42", "mark", forced, "poke", loose, "9", "mark1", loose,
                      "answer", "await", "peek", forced, "peek", next, "peek", loose, "answer"});
  awaitAttachSignal();
  zek_sharedmem_beforecycle(zek_getData());
  EXPECT_EQ(heap()[kOffsetB], 42);
  EXPECT_EQ(heap()[100], 9);
  uint32_t result = zek_runCycle();
  // What the cycle computed.
  heap()[kOffsetB] = 7;
  heap()[kOffsetB + 1] = 8;
  heap()[100] = 5;
  zek_sharedmem_aftercycle((int32_t)result);
  EXPECT_EQ(heap()[kOffsetB], 42) << "forced after the cycle";
  EXPECT_NE(zek_isWrittenFlag(kOffsetB), 0u);
  EXPECT_EQ(heap()[kOffsetB + 1], 8);
  EXPECT_EQ(zek_isWrittenFlag(kOffsetB + 1), 0u);
  EXPECT_EQ(heap()[100], 5) << "a mark without the levels above it has no effect";
  EXPECT_EQ(zek_isWrittenFlag(100), 0u);

  EXPECT_EQ(cycle(), 0u);
  EXPECT_EQ(finishIde(ide), (std::vector<std::string>{"attached", seen(0), seen(1), "heap[" + forced + "]=42",
                                                      "heap[" + next + "]=8", "heap[100]=5"}));
}

TEST_F(Exchange, FinalResultStandsAtOffset17AndTheVmDetaches) {
  struct Case {
    const char *code;
    uint32_t result;
    std::string message;
  };
  const Case cases[] = {{"END", 2, ""}, {"ENDERROR 200 \"boom\"", 1, "boom (error=200"}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.code);
    load(program(c.code));
    int ide = startIde({"attach", "await", "answer", "await", "answer"});
    awaitAttachSignal();
    EXPECT_EQ(cycle(), c.result);
    EXPECT_FALSE(zek_sharedmem_isAttached());
    std::vector<std::string> log = finishIde(ide);
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[1], seen(0));
    std::string final = seen(0, (int)c.result, c.message);
    EXPECT_EQ(log[2].substr(0, final.size()), final);
  }
}

TEST_F(Exchange, SilentIdeAtTheEndIsGivenUp) {
  load(program("END"));
  int ide = startIde({"attach", "await", "answer", "await"});
  awaitAttachSignal();
  zek_sharedmem_beforecycle(zek_getData());
  zek_sharedmem_setWaitTimeout(kSilentWaitMs);
  uint32_t result = zek_runCycle();
  EXPECT_EQ(result, 2u);
  zek_sharedmem_aftercycle((int32_t)result);
  EXPECT_FALSE(zek_sharedmem_isAttached());
  EXPECT_EQ(finishIde(ide), (std::vector<std::string>{"attached", seen(0), seen(0, 2)}));
}

TEST_F(Exchange, UnansweredWaitDetachesAfterTheRealFiveSeconds) {
  zek_sharedmem_setWaitTimeout(ZEK_EXCHANGE_WAIT_MS);
  int ide = startIde({"attach", "await"});
  awaitAttachSignal();
  uint64_t start = plat_tick_ms();
  zek_sharedmem_beforecycle(zek_getData());
  EXPECT_GE(plat_tick_ms() - start, ZEK_EXCHANGE_WAIT_MS);
  EXPECT_FALSE(zek_sharedmem_isAttached());
  EXPECT_EQ(finishIde(ide), (std::vector<std::string>{"attached", seen(0)}));
}

TEST_F(Exchange, NewRunReleasesTheBlock) {
  int ide = startIde({"attach", "await", "answer", "await", "answer"});
  awaitAttachSignal();
  EXPECT_EQ(cycle(), 0u);
  EXPECT_EQ(cycle(), 0u);
  EXPECT_EQ(finishIde(ide), (std::vector<std::string>{"attached", seen(0), seen(1)}));
  EXPECT_TRUE(zek_sharedmem_isAttached());
  load(program());
  zek_sharedmem_beforecycle(zek_getData());  // cycle 0 of the new run, no IDE signal
  EXPECT_FALSE(zek_sharedmem_isAttached());
  EXPECT_FALSE(blockExists());
}

TEST_F(Exchange, BlockThatCannotBeCreatedRaises121) {
#if defined(_WIN32)
  // Events and mappings share one namespace: an event of the mapping's name makes its
  // creation fail.
  PlatEvent *object = plat_event_create(ZEK_EXCHANGE_MAPPING_NAME);
  ASSERT_NE(object, nullptr);
#else
  // A directory where the mapping's object would lie makes its creation fail.
  fs::path object = fs::path("/dev/shm") / (std::string(std::getenv(kPrefixVariable)) + ZEK_EXCHANGE_MAPPING_NAME);
  fs::create_directory(object);
#endif
  int ide = startIde({"attach"});
  awaitAttachSignal();
  zek_sharedmem_beforecycle(zek_getData());
  EXPECT_EQ(zek_getErrorCode(), 121);
  EXPECT_EQ(zt::bareError(), "Cannot create shared memory for VM");
  EXPECT_FALSE(zek_sharedmem_isAttached());
#if defined(_WIN32)
  plat_event_close(object);
#else
  fs::remove(object);
#endif
  finishIde(ide);
}

}  // namespace

int main(int argc, char **argv) {
  testing::InitGoogleTest(&argc, argv);
  // Shared objects of test processes running side by side stay apart.
  setenv(kPrefixVariable, ("zek-exchange-" + std::to_string(getpid()) + "-").c_str(), 1);
  return RUN_ALL_TESTS();
}
