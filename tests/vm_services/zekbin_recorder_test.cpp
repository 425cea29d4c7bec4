// The recording of a run by a host: the channels it records, the events of a cycle in exactly
// one place, the first failure kept and handed over once, every failed write or allocation
// ending in a file that is complete or clearly unfinished, and a release that leaves the file
// unfinished. Leaks show in the sanitizer build's leak check. Files are decoded by the
// independent decoder.
#include <memory>
#include <set>

#include "faults.h"
#include "record_support.h"
#include "zekbin_recorder.h"

namespace {

constexpr uint64_t kStep = 10;
constexpr uint64_t kEndTime = 1000;  // a time no row has, to tell the finish's events apart

// A recorder over a real file; whatever a test leaves open is released.
struct Recorder {
  std::string path;
  ZekbinRecorder r{};

  explicit Recorder(const std::string &name) : path(rt::tempPath(name)) {}
  ~Recorder() { zekbin_recorderRelease(&r); }

  int32_t open(const VmData *data = zek_getData()) {
    FILE *stream = std::fopen(path.c_str(), "wb");
    EXPECT_NE(stream, nullptr) << path;
    return zekbin_recorderOpen(&r, stream, data);
  }
  int32_t row(uint64_t time, const EventRecord *events = nullptr) { return zekbin_recorderRow(&r, events, time); }
  int32_t finish(const EventRecord *events = nullptr, uint64_t end = kEndTime) {
    return zekbin_recorderFinish(&r, events, kStep, end);
  }
  std::vector<uint8_t> bytes() const { return rt::readAll(path); }
  zd::File decoded() const { return zd::parse(bytes()); }
};

// The 28 bytes that the finish patches are still the zeros the header wrote: no reader takes
// the file for complete.
bool unfinished(const std::vector<uint8_t> &bytes) {
  if (bytes.size() < ZEKBIN_OFFSET_PATCH + ZEKBIN_PATCH_SIZE) return true;
  for (size_t i = ZEKBIN_OFFSET_PATCH; i < ZEKBIN_OFFSET_PATCH + ZEKBIN_PATCH_SIZE; ++i)
    if (bytes[i] != 0) return false;
  return true;
}

zt::Program recordedAndNot(uint8_t flags) {
  zt::Program p;
  p.flags = flags;
  p.enums.push_back(zt::EnumSet{6, {1, 2}, {"on", "off"}});
  p.events = {{7, "alarm"}, {9, "done"}};
  p.channel("in", 6, 0).flags = 0x02;
  p.channel("hidden", 6, 1).flags = 0x00;
  p.channel("out", 9, 1, 3).flags = 0x02;
  p.channel("p", 5, 2).flags = 0x03;
  p.channel("flag0only", 5, 3).flags = 0x01;
  return p;
}

TEST(ZekbinRecorder, RecordsTheChannelsFlaggedRecordedInTableOrderWithTheProgramsDeclarations) {
  for (uint8_t sut : {0, 1}) {
    auto l = rt::loadProgram(recordedAndNot(sut));
    Recorder rec("flagged");
    ASSERT_EQ(rec.open(), ZEKBIN_WRITE_OK);
    VmData *d = zek_getData();
    ASSERT_EQ(rec.r.channelCount, 3u);
    EXPECT_EQ(rec.r.channels[0], &d->channels[0]);
    EXPECT_EQ(rec.r.channels[1], &d->channels[2]);
    EXPECT_EQ(rec.r.channels[2], &d->channels[3]);
    EXPECT_EQ(rec.row(0), ZEKBIN_WRITE_OK);
    EXPECT_EQ(rec.finish(), ZEKBIN_WRITE_OK);
    EXPECT_FALSE(zekbin_recorderIsOpen(&rec.r));
    zd::File f = rec.decoded();
    ASSERT_EQ(f.error, "");
    std::vector<std::string> names;
    for (const zd::Signal &s : f.signals) names.push_back(s.name);
    EXPECT_EQ(names, (std::vector<std::string>{"in", "out", "p"})) << (int)sut;
    EXPECT_EQ(f.sut, sut);
    EXPECT_EQ(f.enumCount, 1u);
    EXPECT_EQ(f.eventDecls, (std::vector<std::pair<uint16_t, std::string>>{{7, "alarm"}, {9, "done"}}));
    ASSERT_EQ(f.blocks.size(), 1u);
    EXPECT_EQ(f.blocks[0].kind, 0) << "cycle-indexed";
    EXPECT_EQ(f.blocks[0].step, (int64_t)kStep);
    EXPECT_EQ(f.rows(), 1);
  }
}

// Without a program (null data) the recorder takes the stream only, and the finish makes the
// file a valid recording of no signal, no declaration and no row; when the finish cannot have
// that writer either, the failure is told and the file stays empty.
TEST(ZekbinRecorder, WithoutAProgramTheFileIsARecordingOfNoSignal) {
  auto l = rt::loadProgram(recordedAndNot(1));
  for (bool writerFails : {false, true}) {
    SCOPED_TRACE(writerFails ? "no writer at the finish" : "finished");
    Recorder rec("nodata");
    ASSERT_EQ(rec.open(nullptr), ZEKBIN_WRITE_OK);
    EXPECT_EQ(rec.r.channelCount, 0u);
    EXPECT_EQ(rec.row(0), ZEKBIN_WRITE_NO_WRITER) << "no row without a program";
    EXPECT_EQ(zekbin_recorderTakeFailure(&rec.r), ZEKBIN_WRITE_NO_WRITER);
    plat_fault_arm(PLAT_FAULT_ALLOCATION, writerFails ? 1 : 0);
    int32_t finished = rec.finish();
    plat_fault_arm(PLAT_FAULT_ALLOCATION, 0);
    if (writerFails) {
      EXPECT_EQ(finished, ZEKBIN_WRITE_NO_WRITER);
      EXPECT_TRUE(rec.bytes().empty());
      continue;
    }
    EXPECT_EQ(finished, ZEKBIN_WRITE_OK);
    zd::File f = rec.decoded();
    ASSERT_EQ(f.error, "");
    EXPECT_EQ(f.signals.size(), 0u);
    EXPECT_EQ(f.enumCount, 0u);
    EXPECT_EQ(f.eventDeclCount, 0u);
    EXPECT_EQ(f.sut, 0u);
    EXPECT_EQ(f.rows(), 0);
  }
}

// A host's loop: cycle k raises event 100 + k and has row time k * step. A SuT-synchronous host
// writes the row of cycle k - 1 before cycle k; any other host writes each cycle's row after
// it, unless the cycle failed (the last one, here). The finish is handed the VM's event list,
// which holds the last cycle's events, or stale ones when no cycle ran.
TEST(ZekbinRecorder, TheEventsOfACycleGoIntoExactlyOnePlace) {
  struct Case {
    const char *what;
    bool sut;
    int cycles;
    bool lastFails;
    int rows;
    int atFinish;  // the cycle whose events the finish records, or -1
  };
  const Case cases[] = {
      {"each cycle its row after it", false, 3, false, 3, -1},
      {"the row before the next cycle: the last cycle has none", true, 3, false, 2, 2},
      {"a failed cycle gets no row", false, 3, true, 2, 2},
      {"a failed cycle of a SuT-synchronous run", true, 3, true, 2, 2},
      {"no cycle ran", false, 0, false, 0, -1},
      {"no cycle ran, SuT-synchronous", true, 0, false, 0, -1},
      {"one SuT-synchronous cycle", true, 1, false, 0, 0},
  };
  zt::Program p;
  p.channel("v", 5, 1).flags = 0x02;
  auto l = rt::loadProgram(p);
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<rt::Events> raised(4);
    for (int k = 0; k < 4; ++k) raised[k].add((uint16_t)(100 + k), {(uint8_t)k});
    Recorder rec("events");
    ASSERT_EQ(rec.open(), ZEKBIN_WRITE_OK);
    for (int k = 0; k < c.cycles; ++k) {
      if (c.sut && k > 0) {
        ASSERT_EQ(rec.row((uint64_t)(k - 1) * kStep, raised[k - 1].list()), ZEKBIN_WRITE_OK);
      }
      zekbin_recorderCycleRan(&rec.r);
      bool failed = c.lastFails && k == c.cycles - 1;
      if (!c.sut && !failed) {
        ASSERT_EQ(rec.row((uint64_t)k * kStep, raised[k].list()), ZEKBIN_WRITE_OK);
      }
    }
    const EventRecord *vmList = raised[c.cycles > 0 ? c.cycles - 1 : 3].list();
    ASSERT_EQ(rec.finish(vmList), ZEKBIN_WRITE_OK);
    EXPECT_EQ(rec.r.rows, (uint64_t)c.rows);
    zd::File f = rec.decoded();
    ASSERT_EQ(f.error, "");
    EXPECT_EQ(f.rows(), c.rows);
    std::multiset<uint16_t> seen;
    for (const zd::EventRecord &e : f.events) {
      ASSERT_EQ(e.events.size(), 1u);
      uint16_t id = e.events[0].id;
      seen.insert(id);
      int cycle = id - 100;
      bool finishes = cycle == c.atFinish;
      EXPECT_EQ(e.time, finishes ? kEndTime : (uint64_t)cycle * kStep) << id;
    }
    std::multiset<uint16_t> expected;
    int recordedCycles = c.atFinish >= 0 ? c.atFinish + 1 : c.rows;
    for (int k = 0; k < recordedCycles; ++k) expected.insert((uint16_t)(100 + k));
    EXPECT_EQ(seen, expected);
  }
}

void expectTakenOnce(ZekbinRecorder *r, int32_t failure) {
  EXPECT_EQ(zekbin_recorderTakeFailure(r), failure);
  EXPECT_EQ(zekbin_recorderTakeFailure(r), ZEKBIN_WRITE_OK) << "a failure is handed over once";
}

TEST(ZekbinRecorder, TheFirstFailureIsKeptAndHandedOverOnce) {
  zt::Program p;
  p.channel("v", 5, 1).flags = 0x02;
  auto l = rt::loadProgram(p);
  rt::Events one;
  one.add(7, {1, 2});
  {
    SCOPED_TRACE("a row's write fails");
    Recorder rec("row");
    ASSERT_EQ(rec.open(), ZEKBIN_WRITE_OK);
    EXPECT_EQ(zekbin_recorderTakeFailure(&rec.r), ZEKBIN_WRITE_OK) << "nothing failed yet";
    EXPECT_EQ(rec.row(0), ZEKBIN_WRITE_OK);
    plat_fault_arm(PLAT_FAULT_WRITE, 1);
    EXPECT_EQ(rec.row(10, one.list()), ZEKBIN_WRITE_STREAM);
    plat_fault_arm(PLAT_FAULT_WRITE, 0);
    expectTakenOnce(&rec.r, ZEKBIN_WRITE_STREAM);
    EXPECT_EQ(rec.row(20), ZEKBIN_WRITE_STREAM);
    EXPECT_EQ(rec.finish(), ZEKBIN_WRITE_STREAM);
    EXPECT_EQ(zekbin_recorderTakeFailure(&rec.r), ZEKBIN_WRITE_OK);
    EXPECT_TRUE(unfinished(rec.bytes()));
  }
  {
    SCOPED_TRACE("a refused row, then a failed write: the refusal is the first");
    Recorder rec("many");
    ASSERT_EQ(rec.open(), ZEKBIN_WRITE_OK);
    rt::Events many;
    for (int i = 0; i < 65536; ++i) many.add(7, {});
    EXPECT_EQ(rec.row(0, many.list()), ZEKBIN_WRITE_TOO_MANY_EVENTS);
    plat_fault_arm(PLAT_FAULT_WRITE, 1);
    EXPECT_EQ(rec.row(10, one.list()), ZEKBIN_WRITE_STREAM);
    plat_fault_arm(PLAT_FAULT_WRITE, 0);
    EXPECT_EQ(rec.finish(), ZEKBIN_WRITE_STREAM);
    expectTakenOnce(&rec.r, ZEKBIN_WRITE_TOO_MANY_EVENTS);
  }
  {
    SCOPED_TRACE("the header's write fails");
    Recorder rec("header");
    plat_fault_arm(PLAT_FAULT_WRITE, 1);
    EXPECT_EQ(rec.open(), ZEKBIN_WRITE_STREAM);
    plat_fault_arm(PLAT_FAULT_WRITE, 0);
    EXPECT_TRUE(zekbin_recorderIsOpen(&rec.r)) << "the stream is the recorder's";
    EXPECT_EQ(rec.row(0), ZEKBIN_WRITE_STREAM);
    EXPECT_EQ(rec.finish(), ZEKBIN_WRITE_STREAM);
    expectTakenOnce(&rec.r, ZEKBIN_WRITE_STREAM);
    EXPECT_TRUE(unfinished(rec.bytes()));
  }
  {
    SCOPED_TRACE("the writer cannot be had");
    Recorder rec("nowriter");
    // The recorder's channel list, then the writer itself.
    for (auto [n, result] : {std::pair<uint64_t, int32_t>{1, ZEKBIN_WRITE_MEMORY}, {2, ZEKBIN_WRITE_NO_WRITER}}) {
      plat_fault_arm(PLAT_FAULT_ALLOCATION, n);
      EXPECT_EQ(rec.open(), result) << n;
      EXPECT_FALSE(plat_fault_armed(PLAT_FAULT_ALLOCATION)) << n;
      plat_fault_arm(PLAT_FAULT_ALLOCATION, 0);
      EXPECT_EQ(rec.row(0), ZEKBIN_WRITE_NO_WRITER);
      EXPECT_EQ(rec.finish(), ZEKBIN_WRITE_OK) << "the file becomes a recording of no signal";
      expectTakenOnce(&rec.r, result);
      zd::File f = rec.decoded();
      EXPECT_EQ(f.error, "");
      EXPECT_EQ(f.signals.size(), 0u);
    }
  }
  {
    SCOPED_TRACE("a new open starts without a failure");
    Recorder rec("again");
    plat_fault_arm(PLAT_FAULT_WRITE, 1);
    EXPECT_EQ(rec.open(), ZEKBIN_WRITE_STREAM);
    plat_fault_arm(PLAT_FAULT_WRITE, 0);
    zekbin_recorderRelease(&rec.r);
    ASSERT_EQ(rec.open(), ZEKBIN_WRITE_OK);
    EXPECT_EQ(zekbin_recorderTakeFailure(&rec.r), ZEKBIN_WRITE_OK);
    EXPECT_EQ(rec.finish(), ZEKBIN_WRITE_OK);
  }
}

#if defined(__GLIBC__)
// A stream whose close fails after every byte was written: a memory file (fopencookie).
struct CookieFile {
  std::vector<uint8_t> bytes;
  size_t position = 0;
};

FILE *streamThatFailsToClose(CookieFile *file) {
  cookie_io_functions_t io{};
  io.write = [](void *c, const char *data, size_t n) -> ssize_t {
    CookieFile *f = (CookieFile *)c;
    if (f->bytes.size() < f->position + n) f->bytes.resize(f->position + n);
    std::memcpy(f->bytes.data() + f->position, data, n);
    f->position += n;
    return (ssize_t)n;
  };
  io.seek = [](void *c, off64_t *offset, int whence) -> int {
    CookieFile *f = (CookieFile *)c;
    off64_t base = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? (off64_t)f->position : (off64_t)f->bytes.size();
    f->position = (size_t)(base + *offset);
    *offset = (off64_t)f->position;
    return 0;
  };
  io.close = [](void *) -> int { return -1; };
  return fopencookie(file, "wb", io);
}

TEST(ZekbinRecorder, AStreamThatFailsToCloseIsTheFailure) {
  zt::Program p;
  p.channel("v", 5, 1).flags = 0x02;
  auto l = rt::loadProgram(p);
  CookieFile file;
  ZekbinRecorder r{};
  ASSERT_EQ(zekbin_recorderOpen(&r, streamThatFailsToClose(&file), zek_getData()), ZEKBIN_WRITE_OK);
  EXPECT_EQ(zekbin_recorderRow(&r, nullptr, 0), ZEKBIN_WRITE_OK);
  EXPECT_EQ(zekbin_recorderFinish(&r, nullptr, kStep, kEndTime), ZEKBIN_RECORD_NOT_CLOSED);
  expectTakenOnce(&r, ZEKBIN_RECORD_NOT_CLOSED);
  zd::File f = zd::parse(file.bytes);
  EXPECT_EQ(f.error, "") << "every byte was written before the close failed";
  EXPECT_EQ(f.rows(), 1);
}
#endif

// A run of 40 rows: a changing 64-bit value fills its first chunk and takes a later one, a
// constant value ends in a repetition entry, events raise event records.
zt::Program sweepProgram() {
  zt::Program p;
  p.channel("q", 7, 1).flags = 0x02;
  p.channel("a", 5, 3, 8).flags = 0x02;
  p.channel("not", 5, 3).flags = 0x00;
  p.events = {{7, "e"}};
  return p;
}

// Drives one recording as a host does; the first failure any call answered.
struct Outcome {
  int32_t open = ZEKBIN_WRITE_OK, first = ZEKBIN_WRITE_OK, end = ZEKBIN_WRITE_OK, taken = ZEKBIN_WRITE_OK;
  bool takenTwice = false;
};

Outcome driveRecording(Recorder &rec, bool finish) {
  Outcome o;
  o.open = rec.open();
  o.first = o.open;
  rt::Events ev;
  ev.add(7, {1, 2, 3});
  for (int64_t k = 0; k < 40; ++k) {
    rt::setElement<int64_t>(zt::channel("q"), 0, k * 3);
    zekbin_recorderCycleRan(&rec.r);
    int32_t result = rec.row((uint64_t)k * kStep, k % 7 == 0 ? ev.list() : nullptr);
    if (o.first == ZEKBIN_WRITE_OK) o.first = result;
  }
  zekbin_recorderCycleRan(&rec.r);
  if (finish) {
    o.end = rec.finish(ev.list());
    if (o.first == ZEKBIN_WRITE_OK) o.first = o.end;
  } else {
    zekbin_recorderRelease(&rec.r);
  }
  o.taken = zekbin_recorderTakeFailure(&rec.r);
  o.takenTwice = zekbin_recorderTakeFailure(&rec.r) != ZEKBIN_WRITE_OK;
  return o;
}

// Every write of a recording fails in turn: the first failure any call answers is the one
// handed over, once; the file is complete exactly when no write failed, else unfinished.
TEST(ZekbinRecorderSweep, EachWriteFailingInTurn) {
  auto l = rt::loadProgram(sweepProgram());
  uint64_t writes = zt::failEachCallInTurn(PLAT_FAULT_WRITE, [&](uint64_t n) {
    auto rec = std::make_shared<Recorder>("w" + std::to_string(n));
    Outcome o = driveRecording(*rec, true);
    return [=](bool fired) {
      SCOPED_TRACE("write " + std::to_string(n));
      EXPECT_FALSE(o.takenTwice);
      EXPECT_EQ(o.taken, o.first);
      std::vector<uint8_t> bytes = rec->bytes();
      if (fired) {
        EXPECT_EQ(o.first, ZEKBIN_WRITE_STREAM);
        EXPECT_EQ(o.end, ZEKBIN_WRITE_STREAM);
        EXPECT_TRUE(unfinished(bytes));
      } else {
        EXPECT_EQ(o.first, ZEKBIN_WRITE_OK);
        zd::File f = zd::parse(bytes);
        EXPECT_EQ(f.error, "");
        EXPECT_EQ(f.rows(), 40);
        EXPECT_EQ(f.signals.size(), 2u);
      }
    };
  });
  EXPECT_GT(writes, 10u);
}

// Every allocation fails in turn, for a recording that is finished and for one that is
// released: a writer that cannot be had leaves a recording of no signal when finished, a
// memory failure later an unfinished file, and a release always an unfinished one (or nothing
// at all when no header was written).
TEST(ZekbinRecorderSweep, EachAllocationFailingInTurn) {
  auto l = rt::loadProgram(sweepProgram());
  for (bool finish : {true, false}) {
    SCOPED_TRACE(finish ? "finished" : "released");
    uint64_t allocations = zt::failEachCallInTurn(PLAT_FAULT_ALLOCATION, [&](uint64_t n) {
      auto rec = std::make_shared<Recorder>("a" + std::to_string(n));
      Outcome o = driveRecording(*rec, finish);
      return [=](bool fired) {
        SCOPED_TRACE("allocation " + std::to_string(n));
        EXPECT_FALSE(o.takenTwice);
        EXPECT_EQ(o.taken, o.first);
        std::vector<uint8_t> bytes = rec->bytes();
        zd::File f = zd::parse(bytes);
        if (!fired) {
          EXPECT_EQ(o.first, ZEKBIN_WRITE_OK);
          if (finish) {
            EXPECT_EQ(f.error, "");
            EXPECT_EQ(f.rows(), 40);
          }
        } else if (o.open == ZEKBIN_WRITE_NO_WRITER || o.open == ZEKBIN_WRITE_MEMORY) {
          EXPECT_EQ(o.first, o.open);
          if (finish) {
            EXPECT_EQ(f.error, "");
            EXPECT_EQ(f.signals.size(), 0u);
          } else {
            EXPECT_TRUE(bytes.empty());
          }
        } else {
          EXPECT_EQ(o.open, ZEKBIN_WRITE_OK);
          EXPECT_EQ(o.first, ZEKBIN_WRITE_MEMORY);
          EXPECT_TRUE(unfinished(bytes));
        }
        if (!finish) {
          EXPECT_TRUE(unfinished(bytes));
        }
      };
    });
    EXPECT_GT(allocations, 5u);
  }
}

// A released recording leaves what was written so far and nothing more: the header and the
// chunks that had filled, with the header's positions still zero.
TEST(ZekbinRecorder, AReleaseLeavesTheFileUnfinished) {
  auto l = rt::loadProgram(sweepProgram());
  Recorder rec("released");
  ASSERT_EQ(rec.open(), ZEKBIN_WRITE_OK);
  for (int64_t k = 0; k < 200; ++k) {
    rt::setElement<int64_t>(zt::channel("q"), 0, k);
    ASSERT_EQ(rec.row((uint64_t)k), ZEKBIN_WRITE_OK);
  }
  zekbin_recorderRelease(&rec.r);
  EXPECT_FALSE(zekbin_recorderIsOpen(&rec.r));
  EXPECT_EQ(zekbin_recorderTakeFailure(&rec.r), ZEKBIN_WRITE_OK) << "abandoning is no failure";
  std::vector<uint8_t> bytes = rec.bytes();
  EXPECT_TRUE(unfinished(bytes));
  EXPECT_NE(zd::parse(bytes).error, "");
  EXPECT_GT(bytes.size(), (size_t)ZEKBIN_FIRST_CHUNK_SIZE) << "the first chunk of q had filled";
}

// Calls out of order answer and touch nothing.
TEST(ZekbinRecorder, CallsOutOfOrderAnswerWithAResult) {
  auto l = rt::loadProgram(sweepProgram());
  {
    SCOPED_TRACE("never opened, and no recorder");
    for (ZekbinRecorder *r : {new ZekbinRecorder{}, (ZekbinRecorder *)nullptr}) {
      EXPECT_FALSE(zekbin_recorderIsOpen(r));
      zekbin_recorderCycleRan(r);
      EXPECT_EQ(zekbin_recorderRow(r, nullptr, 0), ZEKBIN_WRITE_NO_WRITER);
      EXPECT_EQ(zekbin_recorderFinish(r, nullptr, 0, 0), ZEKBIN_WRITE_NO_WRITER);
      zekbin_recorderRelease(r);
      EXPECT_EQ(zekbin_recorderTakeFailure(r), ZEKBIN_WRITE_OK);
      delete r;
    }
    ZekbinRecorder r{};
    EXPECT_EQ(zekbin_recorderOpen(&r, nullptr, zek_getData()), ZEKBIN_WRITE_NO_WRITER) << "no stream";
    EXPECT_FALSE(zekbin_recorderIsOpen(&r));
  }
  {
    SCOPED_TRACE("opened twice: the second stream stays the caller's");
    Recorder rec("twice");
    ASSERT_EQ(rec.open(), ZEKBIN_WRITE_OK);
    std::string other = rt::tempPath("other");
    FILE *stream = std::fopen(other.c_str(), "wb");
    ASSERT_NE(stream, nullptr);
    EXPECT_EQ(zekbin_recorderOpen(&rec.r, stream, zek_getData()), ZEKBIN_RECORD_OPEN);
    EXPECT_EQ(std::fclose(stream), 0);
    EXPECT_EQ(rec.row(0), ZEKBIN_WRITE_OK);
    EXPECT_EQ(rec.finish(), ZEKBIN_WRITE_OK);
    EXPECT_EQ(rec.decoded().rows(), 1);
    EXPECT_EQ(rt::readAll(other).size(), 0u);
    SCOPED_TRACE("after the finish");
    EXPECT_EQ(rec.row(0), ZEKBIN_WRITE_NO_WRITER);
    EXPECT_EQ(rec.finish(), ZEKBIN_WRITE_NO_WRITER);
    zekbin_recorderRelease(&rec.r);
    EXPECT_EQ(rec.decoded().rows(), 1) << "the finished file stays as it is";
  }
}

}  // namespace
