// Index parts and slices of a channel's shape, the index checks, and the name of a channel
// with its dimensions that messages print.
#include <cstdio>

#include "channel_parts.h"
#include "opcodes.h"
#include "stacks.h"

using namespace zek_channel;

namespace zek_channel {

bool shapeFits(const ChannelDecl &c, uint32_t *total) {
  uint64_t product = 1;
  for (uint8_t i = 0; i < c.fixedDimCount; ++i) {
    product *= c.fixedDims[i];
    if (product > c.elementCount) {
      zek_raiseError(ZEK_ERR_LIMIT, "The dimensions of signal %s need more than its %u elements.", c.name, c.elementCount);
      return false;
    }
  }
  *total = (uint32_t)product;
  return true;
}

bool checkIndex(const ChannelDecl &c, int64_t v, int64_t d) {
  if (v < 0) {
    zek_raiseError(ZEK_ERR_LIMIT, "Effective array index for signal %s is negative (%d)", c.name, (int)v);
    return false;
  }
  if (v >= d) {
    zek_raiseError(ZEK_ERR_LIMIT, "Array index out of bounds for signal %s: %d >= %d", c.name, (int)v, (int)d);
    return false;
  }
  return true;
}


void raiseTooManyIndices(const ChannelDecl &c) {
  zek_raiseError(ZEK_ERR_LIMIT, "Too many array indices for %s.", c.name);
}

}  // namespace zek_channel

namespace {
// Writes the full name into out (when not null) and returns its length without the NUL.
size_t formatFullName(const ChannelDecl &c, char *out) {
  size_t length = 0;
  uint8_t next = 0;  // the next entry of the dimension list
  auto put = [&](char ch) {
    if (out != nullptr) out[length] = ch;
    ++length;
  };
  auto putDims = [&]() {
    while (next < c.dimCount && c.dims[next] != ZEK_OPEN_DIMENSION) {
      char text[16];
      int n = std::snprintf(text, sizeof text, "[%d]", (int)c.dims[next++]);
      for (int i = 0; i < n; ++i) put(text[i]);
    }
  };
  for (const char *p = c.name != nullptr ? c.name : ""; *p != '\0'; ++p) {
    if (*p == '\\') {  // the escaped character is taken as it stands
      put(*p);
      if (p[1] == '\0') break;
      put(*++p);
      continue;
    }
    if (*p == '.') {
      putDims();
      if (next < c.dimCount) ++next;  // the boundary entry of this name component
    }
    put(*p);
  }
  putDims();
  return length;
}
}  // namespace

char *zek_getFullVarname(const ChannelDecl *channel) {
  size_t length = formatFullName(*channel, nullptr);
  char *text = (char *)zek_malloc((uint32_t)length + 1);
  if (text == nullptr) return nullptr;
  formatFullName(*channel, text);
  text[length] = '\0';
  return text;
}

bool zek__INDEXPART_init(const ChannelDecl *channel, ZekIndexPart *part) {
  const ChannelDecl &c = *channel;
  const uint32_t *indices;
  uint8_t k;
  if (!zek_istack_pop_impl(&indices, &k)) return false;
  uint8_t n = c.fixedDimCount;
  if (n < k) {
    raiseTooManyIndices(c);
    return false;
  }
  uint32_t total;
  if (!shapeFits(c, &total)) return false;
  // Signed 64 bits: a negative index must stay negative to be reported. Every product stays
  // below the element count that shapeFits checked.
  int64_t first = 0, count = 1;
  for (uint8_t i = 0; i < n; ++i) {
    int64_t d = c.fixedDims[i];
    first *= d;
    if (i < k) {
      int64_t v = fromEnd((int32_t)indices[i], d);
      if (!checkIndex(c, v, d)) return false;
      first += v;
    } else {
      count *= d;
    }
  }
  part->first = (uint32_t)first;
  part->count = (uint32_t)count;
  part->byteSize = (uint32_t)count * (uint32_t)c.elementSize;
  if (k == n) {
    part->scalar = 1;
    part->dimCount = 1;
    part->dims = TSIZE_1;
  } else {
    part->scalar = 0;
    part->dimCount = (uint8_t)(n - k);
    part->dims = c.fixedDims + k;
  }
  return true;
}

bool zek__INDEXSLICE_init(const ChannelDecl *channel, ZekSlice *slice) {
  const ChannelDecl &c = *channel;
  const uint32_t *pairs;
  uint8_t a;
  if (!zek_istack_pop_impl(&pairs, &a)) return false;
  if (a % 2 != 0) {
    zek_raiseError(ZEK_ERR_LIMIT, "Slice indices must be even for %s.", c.name);
    return false;
  }
  uint8_t k = a / 2;
  uint8_t n = c.fixedDimCount;
  if (k > n) {
    raiseTooManyIndices(c);
    return false;
  }
  if (n > ZEK_SLICE_MAX_DIMS) {
    zek_raiseError(ZEK_ERR_LIMIT, "Unable to slice signal %s with %u dimensions (at most %u).", c.name, (unsigned)n,
                   (unsigned)ZEK_SLICE_MAX_DIMS);
    return false;
  }
  uint32_t total;
  if (!shapeFits(c, &total)) return false;
  ZekSlice &s = *slice;
  s.k = k;
  s.dimCount = 0;
  s.sliceProduct = 1;
  s.blockCount = 1;
  for (uint8_t i = 0; i < n; ++i) {
    int64_t d = c.fixedDims[i];
    if (i >= k) {
      s.dims[s.dimCount++] = (uint32_t)d;
      s.blockCount *= (uint32_t)d;
      continue;
    }
    int64_t from = fromEnd((int32_t)pairs[2 * i], d);
    if (!checkIndex(c, from, d)) return false;
    int64_t to = from;
    if ((int32_t)pairs[2 * i + 1] != ZEK_SLICE_NO_RANGE) {
      to = fromEnd((int32_t)pairs[2 * i + 1], d);
      if (!checkIndex(c, to, d)) return false;
      if (to < from) {
        int64_t t = to;
        to = from;
        from = t;
      }
      uint32_t length = (uint32_t)(to - from + 1);
      s.dims[s.dimCount++] = length;
      s.sliceProduct *= length;
    }
    s.start[i] = (int32_t)from;
    s.end[i] = (int32_t)to;
  }
  s.scalar = s.dimCount == 0;
  if (s.scalar) {
    s.dimCount = 1;
    s.dims[0] = 1;
  }
  s.blockBytes = s.blockCount * (uint32_t)c.elementSize;
  return true;
}
