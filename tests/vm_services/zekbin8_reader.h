#pragma once
// A reader of ZEKBIN version-8 files for the tests, written from the format description alone
// (the system's own readers refuse version 8). It decodes the whole file into plain records and
// throws std::runtime_error at the first byte that does not fit.
#include <cstdint>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace z8 {

struct Decl {
  uint16_t id = 0;
  uint32_t heapOffset = 0;
  uint8_t type = 0;
  uint32_t count = 0;
  uint8_t flags = 0, role = 0, mask = 0;
  std::string name;
  std::vector<double> scaling;
  std::string externalName;
  int16_t option2 = -1;
  std::vector<uint32_t> dims;
  uint16_t option4 = 0xFFFF, option5 = 0xFFFF;
  std::vector<std::string> attributes;
};

struct Event {
  uint16_t id;
  std::vector<uint8_t> data;
};

struct EventRecord {
  uint64_t time = 0;
  std::vector<Event> events;
};

struct Row {
  uint8_t kind = 0;
  std::optional<EventRecord> events;
  std::vector<uint8_t> bytes;  // the whole row, the changes applied
};

struct Block {
  uint64_t offset = 0;  // of the block header
  uint64_t firstTime = 0, step = 0;
  std::vector<uint16_t> ids;
  std::vector<Row> rows;
  std::optional<EventRecord> endEvents;
};

struct File {
  uint8_t byteOrder = 0, version = 0, sutSynchronous = 0;
  uint16_t enumSetCount = 0;
  std::vector<std::pair<uint16_t, std::string>> eventDecls;
  std::vector<Decl> decls;
  std::vector<Block> blocks;

  const Decl &decl(uint16_t id) const {
    for (const Decl &d : decls)
      if (d.id == id) return d;
    throw std::runtime_error("no declaration of channel " + std::to_string(id));
  }
};

inline uint32_t typeSize(uint8_t type) {
  static const uint8_t sizes[11] = {0, 1, 1, 2, 2, 4, 4, 8, 4, 8, 1};
  if (type < 1 || type > 10) throw std::runtime_error("bad base type " + std::to_string(type));
  return sizes[type];
}

struct Cursor {
  const std::vector<uint8_t> &b;
  size_t pos = 0;
  void need(size_t n) {
    if (pos + n > b.size()) throw std::runtime_error("truncated at " + std::to_string(pos));
  }
  template <typename T> T get() {
    need(sizeof(T));
    T v;
    std::memcpy(&v, b.data() + pos, sizeof v);
    pos += sizeof v;
    return v;
  }
  std::string text() {
    size_t end = pos;
    while (end < b.size() && b[end] != 0) ++end;
    if (end == b.size()) throw std::runtime_error("unterminated text at " + std::to_string(pos));
    std::string s((const char *)b.data() + pos, end - pos);
    pos = end + 1;
    return s;
  }
  std::vector<uint8_t> bytes(size_t n) {
    need(n);
    std::vector<uint8_t> v(b.begin() + (long)pos, b.begin() + (long)(pos + n));
    pos += n;
    return v;
  }
};

inline EventRecord readEvents(Cursor &c) {
  EventRecord r;
  r.time = c.get<uint64_t>();
  uint16_t n = c.get<uint16_t>();
  for (uint16_t i = 0; i < n; ++i) {
    uint16_t id = c.get<uint16_t>();
    uint16_t length = c.get<uint16_t>();
    r.events.push_back(Event{id, c.bytes(length)});
  }
  return r;
}

inline Decl readDecl(Cursor &c) {
  Decl d;
  d.id = c.get<uint16_t>();
  d.heapOffset = c.get<uint32_t>();
  d.type = c.get<uint8_t>();
  d.count = c.get<uint32_t>();
  d.flags = c.get<uint8_t>();
  d.role = c.get<uint8_t>();
  d.mask = c.get<uint8_t>();
  d.name = c.text();
  if (d.mask & 0x01)
    for (int i = 0; i < 4; ++i) d.scaling.push_back(c.get<double>());
  if (d.mask & 0x02) d.externalName = c.text();
  if (d.mask & 0x04) d.option2 = c.get<int16_t>();
  if (d.mask & 0x08) {
    uint8_t m = c.get<uint8_t>();
    for (uint8_t i = 0; i < m; ++i) d.dims.push_back(c.get<uint32_t>());
  }
  if (d.mask & 0x10) d.option4 = c.get<uint16_t>();
  if (d.mask & 0x20) d.option5 = c.get<uint16_t>();
  if (d.mask & 0x40)
    for (std::string entry = c.text(); !entry.empty(); entry = c.text()) d.attributes.push_back(entry);
  if (d.mask & 0x80) throw std::runtime_error("unknown mask bit");
  return d;
}

inline void skipEnumSet(Cursor &c) {
  uint8_t type = c.get<uint8_t>();
  uint16_t n = c.get<uint16_t>();
  c.bytes((size_t)n * typeSize(type));
  for (uint16_t i = 0; i < n; ++i) c.text();
}

// Applies a row's change mask to the previous row.
inline std::vector<uint8_t> readChanges(Cursor &c, const std::vector<uint8_t> &previous) {
  const size_t size = previous.size(), n1 = (size + 7) / 8, n2 = (n1 + 7) / 8, n3 = (n2 + 7) / 8;
  std::vector<uint8_t> l3 = c.bytes(n3), l2(n2, 0), l1(n1, 0);
  for (size_t j = 0; j < n2; ++j)
    if (l3[j / 8] >> (j % 8) & 1) {
      l2[j] = c.get<uint8_t>();
      if (l2[j] == 0) throw std::runtime_error("a level-2 byte flagged but zero");
    }
  for (size_t k = 0; k < n1; ++k)
    if (l2[k / 8] >> (k % 8) & 1) {
      l1[k] = c.get<uint8_t>();
      if (l1[k] == 0) throw std::runtime_error("a level-1 byte flagged but zero");
    }
  std::vector<uint8_t> row = previous;
  for (size_t b = 0; b < size; ++b)
    if (l1[b / 8] >> (b % 8) & 1) row[b] = c.get<uint8_t>();
  return row;
}

inline File read(const std::vector<uint8_t> &bytes) {
  File f;
  Cursor c{bytes};
  if (c.bytes(6) != std::vector<uint8_t>{'Z', 'E', 'K', 'B', 'I', 'N'}) throw std::runtime_error("bad magic");
  f.byteOrder = c.get<uint8_t>();
  f.version = c.get<uint8_t>();
  f.sutSynchronous = c.get<uint8_t>();
  if (f.version != 8) throw std::runtime_error("not version 8");
  f.enumSetCount = c.get<uint16_t>();
  for (uint16_t i = 0; i < f.enumSetCount; ++i) skipEnumSet(c);
  uint16_t events = c.get<uint16_t>();
  for (uint16_t i = 0; i < events; ++i) {
    uint16_t id = c.get<uint16_t>();
    f.eventDecls.emplace_back(id, c.text());
  }
  uint16_t signals = c.get<uint16_t>();
  for (uint16_t i = 0; i < signals; ++i) f.decls.push_back(readDecl(c));
  while (c.pos < bytes.size()) {
    Block block;
    block.offset = c.pos;
    block.firstTime = c.get<uint64_t>();
    block.step = c.get<uint64_t>();
    uint16_t n = c.get<uint16_t>();
    size_t rowSize = 0;
    for (uint16_t i = 0; i < n; ++i) {
      uint16_t id = c.get<uint16_t>();
      if (c.get<uint8_t>() != 2 || c.get<uint8_t>() != 0) throw std::runtime_error("bad block channel entry");
      block.ids.push_back(id);
      const Decl &d = f.decl(id);
      rowSize += (size_t)d.count * typeSize(d.type);
    }
    for (;;) {
      uint8_t kind = c.get<uint8_t>();
      if (kind == 0) break;
      if (kind == 2) {
        block.endEvents = readEvents(c);
        if (c.get<uint8_t>() != 0) throw std::runtime_error("end events not closed by 0");
        break;
      }
      if ((kind & 1) == 0 || kind > 3) throw std::runtime_error("bad row kind " + std::to_string(kind));
      Row row;
      row.kind = kind;
      if (kind & 2) row.events = readEvents(c);
      row.bytes = block.rows.empty() ? c.bytes(rowSize) : readChanges(c, block.rows.back().bytes);
      block.rows.push_back(std::move(row));
    }
    f.blocks.push_back(std::move(block));
  }
  return f;
}

// The bytes of channel id in a row of a block.
inline std::vector<uint8_t> valueOf(const File &f, const Block &block, size_t row, uint16_t id) {
  size_t offset = 0;
  for (uint16_t other : block.ids) {
    const Decl &d = f.decl(other);
    size_t n = (size_t)d.count * typeSize(d.type);
    if (other == id) {
      const std::vector<uint8_t> &bytes = block.rows.at(row).bytes;
      return std::vector<uint8_t>(bytes.begin() + (long)offset, bytes.begin() + (long)(offset + n));
    }
    offset += n;
  }
  throw std::runtime_error("channel " + std::to_string(id) + " not in the block");
}

template <typename T> std::vector<T> valuesOf(const File &f, const Block &block, size_t row, uint16_t id) {
  std::vector<uint8_t> bytes = valueOf(f, block, row, id);
  std::vector<T> out(bytes.size() / sizeof(T));
  std::memcpy(out.data(), bytes.data(), out.size() * sizeof(T));
  return out;
}

}  // namespace z8
