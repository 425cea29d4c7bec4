#pragma once
// Writes program images for the tests: a test says what the program is (its channels, functions,
// events and byte code in assembler text) and gets the bytes of a valid image in either byte
// order. Malformed images are made by patching the bytes afterwards (see Layout, fixCrc).
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace zt {

struct Channel {
  std::string name;
  uint8_t type = 6;  // int32
  uint32_t count = 1;
  uint8_t role = 3;  // local
  uint8_t flags = 0;
  uint8_t part = 1;  // heap part 1, 2 or 3; the builder assigns offsets part by part
  std::optional<uint32_t> heapOffset;  // overrides the assigned offset
  std::optional<uint16_t> id;          // default: the channel's index
  std::vector<uint8_t> init;           // initial value bytes in machine byte order
  std::optional<std::vector<double>> scaling;  // 4 coefficients
  std::optional<std::string> externalName;
  std::optional<int16_t> option2, option4, option5;
  std::optional<std::vector<uint32_t>> dims;
  std::optional<std::vector<std::string>> attributes;  // "key=value" entries
};

struct Function {
  std::string name;
  uint8_t role = 1;  // 1 server, 2 client
  std::string entry;  // label in the code where a server function starts
  uint16_t firstArg = 0;
  uint16_t argCount = 0;
  std::optional<uint16_t> id;
  std::optional<uint32_t> entryPoint;  // overrides the label
};

struct EnumSet {
  uint8_t type = 6;
  std::vector<int64_t> values;
  std::vector<std::string> names;
};

struct Event {
  uint16_t id;
  std::string name;
};

// Where the parts of a built image lie, for tests that patch it.
struct Layout {
  uint32_t enumBlock, channelBlock, functionBlock, eventBlock, initialValues, codeBase, length;
  std::vector<uint32_t> channelRecords;  // offset of each channel record
};

struct Image {
  std::vector<uint8_t> bytes;
  Layout layout;
  const uint8_t *data() const { return bytes.data(); }
};

struct Program {
  bool bigEndian = false;
  uint8_t version = 17;
  uint32_t density = 10000;  // microseconds
  uint32_t timeout = 10;
  uint32_t history = 2;
  uint16_t callStack = 16;
  uint32_t valueStack = 8192;
  uint8_t flags = 0;  // bit 0: SuT-synchronous
  uint16_t buckets = 0;
  uint32_t seed = 1;
  std::vector<std::string> attributes;
  std::optional<uint32_t> part1Size, part2Size, part3Size;  // default: what the channels need
  std::vector<EnumSet> enums;
  std::vector<Channel> channels;
  std::vector<Function> functions;
  std::vector<Event> events;
  std::string code = "ENDCYCLE";

  // Adds a channel and returns it for further settings.
  Channel &channel(const std::string &name, uint8_t type, uint8_t role = 3, uint32_t count = 1);

  Image build() const;
};

// Helpers for initial values.
template <typename T> std::vector<uint8_t> bytesOf(std::initializer_list<T> values) {
  std::vector<uint8_t> out;
  for (T v : values) {
    const uint8_t *p = reinterpret_cast<const uint8_t *>(&v);
    out.insert(out.end(), p, p + sizeof(T));
  }
  return out;
}

// Recomputes the CRC of a patched image (the length field at offset 7 decides where it lies).
void fixCrc(std::vector<uint8_t> &image);
// Writes a u16 or u32 in the image's byte order.
void put16(std::vector<uint8_t> &image, uint32_t offset, uint16_t value);
void put32(std::vector<uint8_t> &image, uint32_t offset, uint32_t value);

// Assembles byte code. Lines or ';'-separated statements: "MNEMONIC operands", "label:".
// Operands by the instruction's layout: numbers (decimal, hex, negative, floating point for
// PUSHFLOAT/PUSHDOUBLE, true/false), channel / function / event names (resolved to their table
// index, event id), labels (jump targets relative to the code base; for CALLSUB and READMEM
// relative to the end of the operand, for the table of RSIGNAL, RSIGNALRT, ISIGNAL and ISIGNALRT
// relative to the end of all operands), "quoted text" with \0 \n \\ \" escapes. JUMPTABLE takes
// its targets (count implied), MESSAGEBOX its text then items (count implied), MEM and
// PUSHSTRING one quoted block (length implied), ARRAYOFSTRUCT count fields then the modes.
// "BYTES n n ..." emits raw bytes. Throws std::runtime_error on a malformed line.
std::vector<uint8_t> assemble(const Program &program, const std::string &code,
                              std::map<std::string, uint32_t> *labels = nullptr);

// An instruction's line of the instruction table as the tests quote it: mnemonic, operand
// layout and stack effect, "JUMPONTRUE w [c:bool --]"; "byte 10 (not in use)" for a byte
// without an instruction. The assembler's failures quote it for the instruction they stopped
// at.
std::string opcodeLine(uint8_t opcode);

}  // namespace zt
