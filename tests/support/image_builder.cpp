#include "image_builder.h"

#include <cctype>
#include <cmath>
#include <cstring>
#include <sstream>
#include <stdexcept>

#include "opcodes.h"
#include "zek_common.h"

namespace zt {
namespace {

uint8_t typeSize(uint8_t type) {
  static const uint8_t sizes[11] = {0, 1, 1, 2, 2, 4, 4, 8, 4, 8, 1};
  return type <= 10 ? sizes[type] : 1;
}

struct Writer {
  std::vector<uint8_t> out;
  bool big;
  void u8(uint8_t v) { out.push_back(v); }
  void raw(const void *p, size_t n) {
    const uint8_t *b = (const uint8_t *)p;
    out.insert(out.end(), b, b + n);
  }
  void num(uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) {
      int shift = big ? 8 * (bytes - 1 - i) : 8 * i;
      out.push_back((uint8_t)(v >> shift));
    }
  }
  void u16(uint16_t v) { num(v, 2); }
  void u32(uint32_t v) { num(v, 4); }
  void f64(double d) {
    uint64_t bits;
    std::memcpy(&bits, &d, 8);
    num(bits, 8);
  }
  void text(const std::string &s) { raw(s.c_str(), s.size() + 1); }
  void attributes(const std::vector<std::string> &list) {
    for (auto &e : list) text(e);
    if (list.empty()) u8(0);
    u8(0);
  }
  // Machine-order values of a base type, written in the image's order.
  void values(const std::vector<uint8_t> &bytes, uint8_t type) {
    uint8_t size = typeSize(type);
    for (size_t i = 0; i + size <= bytes.size(); i += size) {
      uint64_t v = 0;
      std::memcpy(&v, bytes.data() + i, size);
      num(v, size);
    }
  }
};

std::vector<std::string> tokenize(const std::string &stmt) {
  std::vector<std::string> tokens;
  size_t i = 0;
  while (i < stmt.size()) {
    if (std::isspace((unsigned char)stmt[i]) || stmt[i] == ',') {
      ++i;
      continue;
    }
    if (stmt[i] == '"') {
      std::string t = "\"";
      ++i;
      while (i < stmt.size() && stmt[i] != '"') {
        if (stmt[i] == '\\' && i + 1 < stmt.size()) {
          char e = stmt[++i];
          t += e == '0' ? '\0' : e == 'n' ? '\n' : e;
        } else {
          t += stmt[i];
        }
        ++i;
      }
      if (i >= stmt.size()) throw std::runtime_error("unterminated text in: " + stmt);
      ++i;
      tokens.push_back(t);
      continue;
    }
    size_t j = i;
    while (j < stmt.size() && !std::isspace((unsigned char)stmt[j]) && stmt[j] != ',') ++j;
    tokens.push_back(stmt.substr(i, j - i));
    i = j;
  }
  return tokens;
}

std::vector<std::string> statements(const std::string &code) {
  std::vector<std::string> out;
  std::string cur;
  bool quoted = false;
  for (size_t i = 0; i < code.size(); ++i) {
    char c = code[i];
    if (c == '"' && (i == 0 || code[i - 1] != '\\')) quoted = !quoted;
    if (!quoted && (c == ';' || c == '\n')) {
      out.push_back(cur);
      cur.clear();
      continue;
    }
    if (!quoted && c == '#') {  // comment to the end of the line
      while (i + 1 < code.size() && code[i + 1] != '\n') ++i;
      continue;
    }
    cur += c;
  }
  out.push_back(cur);
  return out;
}

// The stack-effect column of the instruction table, which the VM itself does not keep.
const char *stackEffect(uint8_t opcode) {
  static const char *const *effects = [] {
    static const char *table[256] = {};
#define ZEK_OPCODE(byte, name, layout, effect) table[byte] = effect;
#include "opcodes.def"
#undef ZEK_OPCODE
    return table;
  }();
  return effects[opcode];
}

int opcodeOf(const std::string &mnemonic) {
  for (int b = 0; b < 256; ++b) {
    const char *name = zek_opcodeName((uint8_t)b);
    if (name != nullptr && mnemonic == name) return b;
  }
  return -1;
}

struct Assembler {
  const Program &program;
  Writer w;
  std::map<std::string, uint32_t> labels;
  bool final = false;
  std::string stmt;
  int opcode = -1;  // of the statement being assembled, -1 before its mnemonic is known

  [[noreturn]] void fail(const std::string &why) {
    std::string where = opcode >= 0 ? " (" + opcodeLine((uint8_t)opcode) + ")" : "";
    throw std::runtime_error(why + " in: " + stmt + where);
  }

  bool isNumber(const std::string &t) {
    if (t.empty()) return false;
    size_t i = (t[0] == '-' || t[0] == '+') ? 1 : 0;
    return i < t.size() && (std::isdigit((unsigned char)t[i]) || t[i] == '.');
  }

  double floating(const std::string &t) {
    if (t == "nan") return std::nan("");
    if (t == "inf") return HUGE_VAL;
    if (t == "-inf") return -HUGE_VAL;
    return std::stod(t);
  }

  uint64_t integer(const std::string &t) {
    if (t == "true") return 1;
    if (t == "false") return 0;
    if (isNumber(t)) return (uint64_t)std::stoll(t, nullptr, 0) + (t[0] == '-' ? 0 : 0);
    fail("not a number: " + t);
  }

  // A name in a u16 operand: channel, then function index, then event id.
  bool nameValue(const std::string &t, uint64_t *v) {
    for (size_t i = 0; i < program.channels.size(); ++i)
      if (program.channels[i].name == t) return *v = i, true;
    for (size_t i = 0; i < program.functions.size(); ++i)
      if (program.functions[i].name == t) return *v = i, true;
    for (auto &e : program.events)
      if (e.name == t) return *v = e.id, true;
    return false;
  }

  // The table operand of the recorded and interpolated signals counts from the end of all
  // the instruction's operands.
  static bool signalTable(int opcode) {
    return opcode == OP_RSIGNAL || opcode == OP_RSIGNALRT || opcode == OP_ISIGNAL || opcode == OP_ISIGNALRT;
  }

  uint32_t label(const std::string &t) {
    auto it = labels.find(t);
    if (it == labels.end()) {
      if (final) fail("unknown label " + t);
      return 0;
    }
    return it->second;
  }

  // The value of a numeric operand; relativeTo is the end of the operand for relative targets.
  uint64_t value(const std::string &t, int opcode, int64_t relativeTo) {
    if (t.size() > 0 && t[0] == '"') fail("text where a number is expected");
    if (isNumber(t) || t == "true" || t == "false") return integer(t);
    uint64_t v;
    if (nameValue(t, &v)) return v;
    uint32_t target = label(t);
    if (opcode == OP_CALLSUB || opcode == OP_READMEM || signalTable(opcode))
      return (uint64_t)(int64_t)((int64_t)target - relativeTo);
    return target;
  }

  void block(const std::string &t) {
    if (t.empty() || t[0] != '"') fail("quoted block expected");
    w.u32((uint32_t)(t.size() - 1));
    w.raw(t.data() + 1, t.size() - 1);
  }

  void statement(const std::string &s) {
    stmt = s;
    opcode = -1;
    std::vector<std::string> tokens = tokenize(s);
    if (tokens.empty()) return;
    if (tokens[0].back() == ':') {
      labels[tokens[0].substr(0, tokens[0].size() - 1)] = (uint32_t)w.out.size();
      tokens.erase(tokens.begin());
      if (tokens.empty()) return;
    }
    if (tokens[0] == "BYTES") {
      for (size_t i = 1; i < tokens.size(); ++i) w.u8((uint8_t)integer(tokens[i]));
      return;
    }
    opcode = opcodeOf(tokens[0]);
    if (opcode < 0) fail("unknown instruction " + tokens[0]);
    w.u8((uint8_t)opcode);
    std::string layout = zek_opcodeLayout((uint8_t)opcode);
    size_t arg = 1;
    auto next = [&]() -> const std::string & {
      if (arg >= tokens.size()) fail("missing operand");
      return tokens[arg++];
    };
    switch (opcode) {
      case OP_JUMPTABLE:
        w.u16((uint16_t)(tokens.size() - 1));
        while (arg < tokens.size()) w.u32((uint32_t)value(next(), opcode, 0));
        return;
      case OP_MEM:
      case OP_PUSHSTRING:
        block(next());
        break;
      case OP_MESSAGEBOX: {
        const std::string &text = next();
        if (text[0] != '"') fail("message text expected");
        w.raw(text.c_str() + 1, text.size());  // with its NUL
        w.u8((uint8_t)(tokens.size() - arg));
        while (arg < tokens.size()) {
          const std::string &item = next();
          w.raw(item.c_str() + 1, item.size());
        }
        return;
      }
      case OP_ARRAYOFSTRUCT:
        w.u32((uint32_t)integer(next()));
        w.u32((uint32_t)integer(next()));
        while (arg < tokens.size()) w.u8((uint8_t)integer(next()));
        return;
      case OP_PUSHFLOAT: {
        float f = (float)floating(next());
        uint32_t bits;
        std::memcpy(&bits, &f, 4);
        w.u32(bits);
        break;
      }
      case OP_PUSHDOUBLE: {
        double d = floating(next());
        uint64_t bits;
        std::memcpy(&bits, &d, 8);
        w.num(bits, 8);
        break;
      }
      default: {
        int64_t operandsEnd = (int64_t)w.out.size();  // used for the signal tables' fixed layouts
        for (char c : layout) operandsEnd += c == 'b' ? 1 : c == 'h' ? 2 : c == 'w' ? 4 : c == 'q' ? 8 : 0;
        for (char c : layout) {
          if (c == '*') break;
          if (c == 's') {
            const std::string &t = next();
            if (t[0] != '"') fail("text expected");
            w.raw(t.c_str() + 1, t.size());
            continue;
          }
          int bytes = c == 'b' ? 1 : c == 'h' ? 2 : c == 'w' ? 4 : 8;
          int64_t end = signalTable(opcode) ? operandsEnd : (int64_t)w.out.size() + bytes;
          w.num(value(next(), opcode, end), bytes);
        }
      }
    }
    if (arg != tokens.size()) fail("too many operands");
  }

  void run(const std::string &code) {
    for (auto &s : statements(code)) statement(s);
  }
};
}  // namespace

std::string opcodeLine(uint8_t opcode) {
  const char *name = zek_opcodeName(opcode);
  if (name == nullptr) return "byte " + std::to_string(opcode) + " (not in use)";
  std::string layout = zek_opcodeLayout(opcode);
  return std::string(name) + (layout.empty() ? "" : " " + layout) + " [" + stackEffect(opcode) + "]";
}

Channel &Program::channel(const std::string &name, uint8_t type, uint8_t role, uint32_t count) {
  Channel c;
  c.name = name;
  c.type = type;
  c.role = role;
  c.count = count;
  if (count > 1) c.dims = std::vector<uint32_t>{count};
  channels.push_back(c);
  return channels.back();
}

std::vector<uint8_t> assemble(const Program &program, const std::string &code, std::map<std::string, uint32_t> *labels) {
  Assembler first{program, Writer{{}, program.bigEndian}, {}, false, {}};
  first.run(code);
  Assembler second{program, Writer{{}, program.bigEndian}, first.labels, true, {}};
  second.run(code);
  if (labels != nullptr) *labels = second.labels;
  return second.w.out;
}

Image Program::build() const {
  Image img{};
  Writer w{{}, bigEndian};
  // Heap layout: channels placed part by part, in the order given.
  uint32_t used[4] = {0, 0, 0, 0};
  std::vector<uint32_t> offsets(channels.size());
  for (int part = 1; part <= 3; ++part)
    for (size_t i = 0; i < channels.size(); ++i)
      if (channels[i].part == part) {
        offsets[i] = used[part];
        used[part] += channels[i].count * typeSize(channels[i].type);
      }
  uint32_t p1 = part1Size.value_or(used[1]), p2 = part2Size.value_or(used[2]), p3 = part3Size.value_or(used[3]);
  for (size_t i = 0; i < channels.size(); ++i) {
    if (channels[i].part >= 2) offsets[i] += p1;
    if (channels[i].part >= 3) offsets[i] += p2;
    if (channels[i].heapOffset) offsets[i] = *channels[i].heapOffset;
  }

  w.raw("ZEKVM", 5);
  w.u8(bigEndian ? 1 : 0);
  w.u8(version);
  w.u32(0);  // length, patched below
  w.u32(density);
  w.u32(timeout);
  w.u32(history);
  w.u32(p1);
  w.u32(p2);
  w.u32(p3);
  w.u16(callStack);
  w.u32(valueStack);
  w.u8(flags);
  w.u16(0);
  for (int i = 0; i < 6; ++i) {  // five block offsets and the code base, each followed by 4 unread bytes
    w.u32(0);
    w.u32(0);
  }
  w.u16(buckets);
  w.attributes(attributes);

  Layout &L = img.layout;
  L.enumBlock = (uint32_t)w.out.size();
  w.u16((uint16_t)enums.size());
  for (auto &e : enums) {
    w.u8(e.type);
    w.u16((uint16_t)e.values.size());
    for (int64_t v : e.values) w.num((uint64_t)v, typeSize(e.type));
    for (auto &n : e.names) w.text(n);
  }

  L.channelBlock = (uint32_t)w.out.size();
  w.u16((uint16_t)channels.size());
  for (size_t i = 0; i < channels.size(); ++i) {
    const Channel &c = channels[i];
    L.channelRecords.push_back((uint32_t)w.out.size());
    w.u16(c.id.value_or((uint16_t)i));
    w.u32(offsets[i]);
    w.u8(c.type);
    w.u32(c.count);
    w.u8(c.flags);
    w.u8(c.role);
    uint8_t mask = (c.scaling ? 1 : 0) | (c.externalName ? 2 : 0) | (c.option2 ? 4 : 0) | (c.dims ? 8 : 0) |
                   (c.option4 ? 16 : 0) | (c.option5 ? 32 : 0) | (c.attributes ? 64 : 0);
    w.u8(mask);
    w.text(c.name);
    if (c.scaling)
      for (double d : *c.scaling) w.f64(d);
    if (c.externalName) w.text(*c.externalName);
    if (c.option2) w.u16((uint16_t)*c.option2);
    if (c.dims) {
      w.u8((uint8_t)c.dims->size());
      for (uint32_t d : *c.dims) w.u32(d);
    }
    if (c.option4) w.u16((uint16_t)*c.option4);
    if (c.option5) w.u16((uint16_t)*c.option5);
    if (c.attributes) w.attributes(*c.attributes);
  }

  std::map<std::string, uint32_t> labels;
  std::vector<uint8_t> code = assemble(*this, this->code, &labels);

  L.functionBlock = (uint32_t)w.out.size();
  w.u16((uint16_t)functions.size());
  for (size_t i = 0; i < functions.size(); ++i) {
    const Function &f = functions[i];
    w.u16(f.id.value_or((uint16_t)i));
    w.u8(f.role);
    uint32_t entry = f.entryPoint.value_or(0);
    if (!f.entryPoint && !f.entry.empty()) {
      auto it = labels.find(f.entry);
      if (it == labels.end()) throw std::runtime_error("unknown entry label " + f.entry);
      entry = it->second;
    }
    w.u32(entry);
    w.u16(f.argCount);
    w.u16(f.firstArg);
    w.text(f.name);
  }

  L.eventBlock = (uint32_t)w.out.size();
  w.u16((uint16_t)events.size());
  for (auto &e : events) {
    w.u16(e.id);
    w.text(e.name);
  }

  L.initialValues = (uint32_t)w.out.size();
  std::vector<uint8_t> heap((size_t)p1 + p2 + p3, 0);
  for (size_t i = 0; i < channels.size(); ++i) {
    const Channel &c = channels[i];
    if (c.init.empty()) continue;
    Writer v{{}, bigEndian};
    v.values(c.init, c.type);
    if (offsets[i] + v.out.size() > heap.size()) throw std::runtime_error("initial value of " + c.name + " leaves the heap");
    std::memcpy(heap.data() + offsets[i], v.out.data(), v.out.size());
  }
  w.raw(heap.data(), heap.size());

  L.codeBase = (uint32_t)w.out.size();
  w.raw(code.data(), code.size());

  L.length = (uint32_t)w.out.size() + 4;
  w.u32(0);  // CRC
  w.u32(seed);
  img.bytes = w.out;
  put32(img.bytes, 7, L.length);
  put32(img.bytes, 44, L.enumBlock);
  put32(img.bytes, 52, L.channelBlock);
  put32(img.bytes, 60, L.functionBlock);
  put32(img.bytes, 68, L.eventBlock);
  put32(img.bytes, 76, L.initialValues);
  put32(img.bytes, 84, L.codeBase);
  fixCrc(img.bytes);
  return img;
}

void put16(std::vector<uint8_t> &image, uint32_t offset, uint16_t value) {
  bool big = image[5] != 0;
  image.at(offset) = (uint8_t)(big ? value >> 8 : value);
  image.at(offset + 1) = (uint8_t)(big ? value : value >> 8);
}

void put32(std::vector<uint8_t> &image, uint32_t offset, uint32_t value) {
  bool big = image[5] != 0;
  for (int i = 0; i < 4; ++i) image.at(offset + i) = (uint8_t)(value >> (big ? 8 * (3 - i) : 8 * i));
}

void fixCrc(std::vector<uint8_t> &image) {
  bool big = image[5] != 0;
  uint32_t length = 0;
  for (int i = 0; i < 4; ++i) length |= (uint32_t)image[7 + i] << (big ? 8 * (3 - i) : 8 * i);
  if (length < 4 || (size_t)length > image.size()) return;
  put32(image, length - 4, zek_computeCrc(image.data(), length - 4));
}

}  // namespace zt
