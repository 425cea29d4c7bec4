#include "zekbin_decoder.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace zd {
namespace {

struct Reader {
  const std::vector<uint8_t> &b;
  size_t pos;

  void need(size_t n) const {
    if (pos > b.size() || n > b.size() - pos)
      throw std::runtime_error("read of " + std::to_string(n) + " bytes at " + std::to_string(pos) + " leaves the file");
  }
  template <typename T> T get() {
    need(sizeof(T));
    T v;
    std::memcpy(&v, b.data() + pos, sizeof v);
    pos += sizeof v;
    return v;
  }
  std::string text() {
    need(1);
    auto end = std::find(b.begin() + (long)pos, b.end(), 0);
    if (end == b.end()) throw std::runtime_error("text without NUL at " + std::to_string(pos));
    std::string s(b.begin() + (long)pos, end);
    pos += s.size() + 1;
    return s;
  }
};

void expect(bool ok, const std::string &what) {
  if (!ok) throw std::runtime_error(what);
}

uint8_t typeSize(uint8_t type) {
  switch (type) {
    case 1: case 2: case 10: return 1;
    case 3: case 4: return 2;
    case 5: case 6: case 8: return 4;
    case 7: case 9: return 8;
  }
  throw std::runtime_error("unknown base type " + std::to_string(type));
}

Signal readSignal(Reader &r) {
  Signal s;
  s.offset = r.pos;
  s.id = r.get<uint32_t>();
  s.heapOffset = r.get<uint32_t>();
  s.type = r.get<uint8_t>();
  s.count = r.get<uint32_t>();
  s.flags = r.get<uint8_t>();
  s.role = r.get<uint8_t>();
  s.mask = r.get<uint8_t>();
  s.name = r.text();
  if (s.mask & 1)
    for (int i = 0; i < 4; ++i) s.scaling.push_back(r.get<double>());
  if (s.mask & 2) s.externalName = r.text();
  if (s.mask & 4) s.option2 = r.get<int16_t>();
  if (s.mask & 8) {
    uint8_t m = r.get<uint8_t>();
    for (uint8_t i = 0; i < m; ++i) s.dims.push_back(r.get<uint32_t>());
  }
  if (s.mask & 16) s.option4 = r.get<uint32_t>();
  if (s.mask & 32) s.option5 = r.get<uint32_t>();
  if (s.mask & 64) {
    for (;;) {
      std::string entry = r.text();
      if (entry.empty()) break;
      s.attributes.push_back(entry);
    }
    expect(!s.attributes.empty(), "attribute list present without an entry");
  }
  s.length = r.pos - s.offset;
  return s;
}

void readHeader(File &f, Reader &r) {
  expect(f.bytes.size() >= 6 && std::memcmp(f.bytes.data(), "ZEKBIN", 6) == 0, "magic");
  r.pos = 6;
  f.byteOrder = r.get<uint8_t>();
  f.version = r.get<uint8_t>();
  expect(f.version == 9, "version");
  f.sut = r.get<uint8_t>();
  f.firstChunk = r.get<uint32_t>();
  f.laterChunk = r.get<uint32_t>();
  expect(f.firstChunk == 128 && f.laterChunk == 65536, "chunk sizes");
  f.indexPosition = r.get<int64_t>();
  f.blockTablePosition = r.get<int64_t>();
  f.blockTableCount = r.get<int32_t>();
  f.eventListPosition = r.get<int64_t>();
  f.enumCount = r.get<uint16_t>();
  for (uint16_t i = 0; i < f.enumCount; ++i) {
    uint8_t type = r.get<uint8_t>();
    uint16_t n = r.get<uint16_t>();
    r.need((size_t)n * typeSize(type));
    r.pos += (size_t)n * typeSize(type);
    for (uint16_t k = 0; k < n; ++k) r.text();
  }
  f.eventDeclCount = r.get<uint16_t>();
  for (uint16_t i = 0; i < f.eventDeclCount; ++i) {
    uint16_t id = r.get<uint16_t>();
    f.eventDecls.emplace_back(id, r.text());
  }
  uint32_t n = r.get<uint32_t>();
  for (uint32_t i = 0; i < n; ++i) f.signals.push_back(readSignal(r));
  f.headerEnd = r.pos;
}

void readEvents(File &f, Reader &r, size_t dataEnd) {
  r.pos = (size_t)f.eventListPosition;
  uint32_t count = r.get<uint32_t>();
  std::vector<int64_t> positions;
  for (uint32_t i = 0; i < count; ++i) positions.push_back(r.get<int64_t>());
  expect(r.pos == f.bytes.size(), "the event-record position list ends the file");
  for (int64_t p : positions) {
    expect(p >= (int64_t)f.headerEnd && p < (int64_t)dataEnd, "event record in the data area");
    Reader e{f.bytes, (size_t)p};
    EventRecord rec{p, e.get<uint64_t>(), {}};
    uint16_t c = e.get<uint16_t>();
    for (uint16_t k = 0; k < c; ++k) {
      Event ev{e.get<uint16_t>(), {}};
      uint16_t length = e.get<uint16_t>();
      e.need(length);
      ev.data.assign(f.bytes.begin() + (long)e.pos, f.bytes.begin() + (long)(e.pos + length));
      e.pos += length;
      rec.events.push_back(ev);
    }
    f.events.push_back(rec);
  }
}

size_t chunkCount(size_t bytes) {
  if (bytes == 0) return 0;
  if (bytes <= 128) return 1;
  return 1 + (bytes - 128 + 65535) / 65536;
}

size_t chunkLength(size_t bytes, size_t chunk) {
  if (chunk == 0) return std::min<size_t>(bytes, 128);
  return std::min<size_t>(65536, bytes - 128 - (chunk - 1) * 65536);
}

std::vector<int64_t> readPositions(const File &f, int64_t at, size_t n) {
  Reader r{f.bytes, (size_t)at};
  std::vector<int64_t> out;
  for (size_t i = 0; i < n; ++i) out.push_back(r.get<int64_t>());
  return out;
}

// The tail in the order the finish writes it, every part right behind the one before; returns
// where the tail starts.
size_t readTail(File &f) {
  bool stamped = f.blockTablePosition != 0;
  size_t elementCount = 0;
  for (auto &s : f.signals) elementCount += s.count;
  expect(f.indexPosition > 0 && (size_t)f.indexPosition + 32 * elementCount == (size_t)f.eventListPosition,
         "index records end where the event-record list starts");
  Reader r{f.bytes, (size_t)f.indexPosition};
  for (size_t si = 0; si < f.signals.size(); ++si)
    for (uint32_t k = 0; k < f.signals[si].count; ++k) {
      Element e;
      e.signal = si;
      e.size = typeSize(f.signals[si].type);
      e.repetitionPosition = r.get<int64_t>();
      int32_t reps = r.get<int32_t>();
      e.blockListPosition = r.get<int64_t>();
      e.blockCount = r.get<int32_t>();
      e.chunkTablePosition = r.get<int64_t>();
      Reader l{f.bytes, (size_t)e.repetitionPosition};
      for (int32_t i = 0; i < reps; ++i) {
        int32_t row = l.get<int32_t>();
        e.repetitions.push_back({row, l.get<int32_t>()});
      }
      expect(l.pos == (size_t)e.chunkTablePosition, "chunk table right behind the repetition list");
      f.elements.push_back(e);
    }
  if (f.elements.empty()) return (size_t)f.indexPosition;  // nothing points into the tail

  int64_t blockList = f.elements[0].blockListPosition;
  int32_t blockCount = f.elements[0].blockCount;
  for (auto &e : f.elements)
    expect(e.blockListPosition == blockList && e.blockCount == blockCount, "one block list for all elements");
  expect(blockCount == 0 || blockCount == 1, "one block at most");
  f.blockPositions = readPositions(f, blockList, (size_t)blockCount);
  size_t tailStart = f.blockPositions.empty() ? (size_t)blockList : (size_t)f.blockPositions[0];
  size_t cursor = (size_t)blockList + 8 * (size_t)blockCount;
  for (int64_t p : f.blockPositions) {
    Reader br{f.bytes, (size_t)p};
    Block blk;
    blk.kind = br.get<uint8_t>();
    if (blk.kind == 0) {
      blk.firstTime = br.get<int64_t>();
      blk.rowCount = br.get<int32_t>();
      blk.step = br.get<int64_t>();
    } else {
      expect(blk.kind == 1, "block kind");
      blk.number = br.get<int32_t>();
    }
    blk.firstRow = br.get<int32_t>();
    expect(br.get<uint8_t>() == 2 && br.get<uint8_t>() == 0 && br.text().empty(), "block record constants");
    expect(blk.kind == (stamped ? 1 : 0), "block kind matches the header");
    size_t behind = br.pos;
    if (stamped) {
      expect(f.blockTableCount == 1 && blk.number == 0, "block table of one block");
      Reader t{f.bytes, (size_t)f.blockTablePosition};
      int64_t timeList = t.get<int64_t>();
      blk.rowCount = t.get<int32_t>();
      size_t stampBytes = 8 * ((size_t)blk.rowCount + 1);
      size_t chunks = chunkCount(stampBytes);
      expect(timeList == (int64_t)cursor, "time-chunk list right behind the block-record list");
      expect(f.blockTablePosition == timeList + 8 * (int64_t)chunks, "block table right behind the time-chunk list");
      f.stampChunks = readPositions(f, timeList, chunks);
      for (size_t s = 0; s < stampBytes / 8; ++s) {
        size_t byte = s * 8, chunk = byte < 128 ? 0 : 1 + (byte - 128) / 65536;
        size_t off = byte < 128 ? byte : (byte - 128) % 65536;
        Reader sr{f.bytes, (size_t)f.stampChunks[chunk] + off};
        f.stamps.push_back(sr.get<uint64_t>());
      }
      size_t last = chunkLength(stampBytes, chunks - 1);
      bool partial = last < (chunks == 1 ? 128u : 65536u);
      expect(partial == (f.stampChunks.back() == (int64_t)behind), "a partial time chunk lies right behind the block record");
      if (partial) behind += last;
      cursor = (size_t)f.blockTablePosition + 12;
    }
    expect(behind == (size_t)blockList, "block-record list right behind the block record");
    f.blocks.push_back(blk);
  }
  if (stamped && f.blocks.empty()) {
    expect(f.blockTableCount == 0 && f.blockTablePosition == (int64_t)cursor, "empty block table");
  }
  int32_t rows = f.rows();
  for (auto &e : f.elements) {
    size_t bytes = rows == 0 ? 0 : ((size_t)sampleIndex(e, rows - 1) + 1) * e.size;
    size_t n = chunkCount(bytes);
    e.chunks = readPositions(f, e.chunkTablePosition, n);
    size_t tailChunks = 0;
    for (size_t c = 0; c < n; ++c) {
      size_t length = chunkLength(bytes, c);
      expect(e.chunks[c] >= (int64_t)f.headerEnd && (size_t)e.chunks[c] + length <= (size_t)f.indexPosition,
             "chunk inside the file");
      if ((size_t)e.chunks[c] >= cursor && e.chunks[c] < e.repetitionPosition) {
        expect((size_t)e.chunks[c] == cursor, "chunks of the finish lie one behind the other");
        cursor += length;
        ++tailChunks;
      } else {
        expect(e.chunks[c] < (int64_t)tailStart, "chunk in the data area");
      }
    }
    expect(tailChunks <= 2, "at most a chunk filled by the finish and a partial one");
    expect(cursor == (size_t)e.repetitionPosition, "repetition list right behind the element's last chunk");
    cursor = (size_t)e.chunkTablePosition + 8 * n;
  }
  expect(cursor == (size_t)f.indexPosition, "index records right behind the last chunk table");
  return tailStart;
}

}  // namespace

size_t parseSignal(const std::vector<uint8_t> &bytes, size_t offset, Signal &out, std::string &error) {
  try {
    Reader r{bytes, offset};
    out = readSignal(r);
    return r.pos;
  } catch (const std::exception &e) {
    error = e.what();
    return 0;
  }
}

int32_t sampleIndex(const Element &e, int32_t row) {
  if (e.repetitions.empty()) return row;
  Repetition p{0, 0};
  int64_t q = INT32_MAX;
  for (const Repetition &r : e.repetitions) {
    if (r.row == row) return r.sample;
    if (r.row < row) p = r;
    if (r.row > row) {
      q = r.sample;
      break;
    }
  }
  return (int32_t)(p.sample + std::min<int64_t>(row - p.row, q - p.sample - 1));
}

std::vector<uint8_t> sample(const File &f, size_t element, int32_t index) {
  const Element &e = f.elements.at(element);
  size_t byte = (size_t)index * e.size;
  size_t chunk = byte < 128 ? 0 : 1 + (byte - 128) / 65536;
  size_t off = byte < 128 ? byte : (byte - 128) % 65536;
  if (chunk >= e.chunks.size()) throw std::runtime_error("sample " + std::to_string(index) + " has no chunk");
  size_t at = (size_t)e.chunks[chunk] + off;
  if (at + e.size > f.bytes.size()) throw std::runtime_error("sample outside the file");
  return std::vector<uint8_t>(f.bytes.begin() + (long)at, f.bytes.begin() + (long)(at + e.size));
}

std::vector<uint8_t> valueAt(const File &f, size_t element, int32_t row) {
  return sample(f, element, sampleIndex(f.elements.at(element), row));
}

std::vector<std::vector<uint8_t>> samples(const File &f, size_t element) {
  std::vector<std::vector<uint8_t>> out;
  if (f.rows() == 0) return out;
  int32_t last = sampleIndex(f.elements.at(element), f.rows() - 1);
  for (int32_t s = 0; s <= last; ++s) out.push_back(sample(f, element, s));
  return out;
}

File parse(std::vector<uint8_t> bytes) {
  File f;
  f.bytes = std::move(bytes);
  try {
    Reader r{f.bytes, 0};
    readHeader(f, r);
    size_t tailStart = readTail(f);
    readEvents(f, r, tailStart);
  } catch (const std::exception &e) {
    f.error = e.what();
  }
  return f;
}

}  // namespace zd
