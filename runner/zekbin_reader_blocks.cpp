// The input reader's block cache: every block record is read from the file once, checked, and
// kept sorted by its position, since many elements share one block.
#include <cstdlib>
#include <cstring>

#include "zek_common.h"
#include "zekbin_reader_parts.h"

namespace zekbin_input {

bool readBlockInfo(int64_t pos, ZekbinBlockInfo *out) {
  uint64_t lo = 0, hi = g_reader.blockCount;
  while (lo < hi) {
    uint64_t mid = lo + (hi - lo) / 2;
    if (g_reader.blocks[mid].position < pos) lo = mid + 1;
    else hi = mid;
  }
  if (lo < g_reader.blockCount && g_reader.blocks[lo].position == pos) {
    *out = g_reader.blocks[lo].info;
    return true;
  }
  ZekbinCursor c = cursorAt(pos);
  ZekbinBlockRecord r;
  if (zekbin_decodeBlockRecord(&c, &r) != ZEKBIN_DECODE_OK) {
    reportOutside(c.pos == UINT64_MAX ? pos : (int64_t)c.pos);
    return false;
  }
  ZekbinBlockInfo info{};
  info.kind = r.kind;
  info.firstRow = r.firstRow;
  info.name = r.name;
  // The two constant bytes lie right before the name.
  info.constant[0] = (uint8_t)r.name[-2];
  info.constant[1] = (uint8_t)r.name[-1];
  if (r.kind == ZEKBIN_BLOCK_CYCLE_INDEXED) {
    info.firstTime = r.firstTime;
    info.rowCount = r.rowCount;
    info.step = r.step;
    info.endTime = (int64_t)((uint64_t)r.firstTime + (uint64_t)(int64_t)r.rowCount * (uint64_t)r.step);
  } else if (r.kind == ZEKBIN_BLOCK_TIME_STAMPED) {
    info.blockIndex = r.blockNumber;
    int64_t table = g_reader.header.blockTablePosition;
    if (r.blockNumber < 0 || !inFile(table, 0)) {
      reportOutside(table);
      return false;
    }
    int64_t entry = table + (int64_t)ZEKBIN_BLOCK_TABLE_ENTRY_SIZE * r.blockNumber;
    if (!checkRange(entry, ZEKBIN_BLOCK_TABLE_ENTRY_SIZE)) return false;
    info.rowCount = zek_load_as<int32_t>(g_reader.data + entry + 8);
  }
  if (info.rowCount < 0) {
    report("Invalid block record at location %lld.", (long long)pos);
    return false;
  }
  if (g_reader.blockCount == g_reader.blockCapacity) {
    uint64_t capacity = g_reader.blockCapacity == 0 ? 4 : g_reader.blockCapacity * 2;
    ZekbinCachedBlock *grown = (ZekbinCachedBlock *)std::realloc(g_reader.blocks, (size_t)capacity * sizeof *grown);
    if (grown == nullptr) {
      report("Memory allocation failed for the block records.");
      return false;
    }
    g_reader.blocks = grown;
    g_reader.blockCapacity = capacity;
  }
  std::memmove(g_reader.blocks + lo + 1, g_reader.blocks + lo, (size_t)(g_reader.blockCount - lo) * sizeof(ZekbinCachedBlock));
  g_reader.blocks[lo] = ZekbinCachedBlock{pos, info};
  ++g_reader.blockCount;
  *out = info;
  return true;
}

}  // namespace zekbin_input
