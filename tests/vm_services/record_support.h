#pragma once
// Recording loaded programs into real files for the tests of the record files.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "test_files.h"
#include "vm_harness.h"
#include "zekbin_decoder.h"
#include "zekbin_writer.h"

namespace rt {

using ztf::processTempDir;
using ztf::tempPath;

inline std::vector<uint8_t> readAll(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void writeAll(const std::string &path, const std::vector<uint8_t> &bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write((const char *)bytes.data(), (std::streamsize)bytes.size());
}

// Loads a program; its channels with the recorded flag (bit 1) are what a host records.
inline zt::Loaded loadProgram(const zt::Program &p) {
  zt::Loaded l = zt::load(p);
  EXPECT_EQ(l.result, 0u) << zt::errorText();
  return l;
}

inline std::vector<ChannelDecl *> recordedChannels() {
  std::vector<ChannelDecl *> out;
  VmData *d = zek_getData();
  for (uint16_t i = 0; i < d->channelCount; ++i)
    if (d->channels[i].recorded) out.push_back(&d->channels[i]);
  return out;
}

// An event list as the VM keeps it.
struct Events {
  std::vector<std::vector<uint8_t>> data;
  std::vector<EventRecord> records;

  void add(uint16_t id, std::vector<uint8_t> bytes) {
    data.push_back(std::move(bytes));
    records.push_back(EventRecord{id, (uint16_t)data.back().size(), nullptr, nullptr});
  }
  const EventRecord *list() {
    for (size_t i = 0; i < records.size(); ++i) {
      records[i].data = data[i].empty() ? nullptr : data[i].data();
      records[i].next = i + 1 < records.size() ? &records[i + 1] : nullptr;
    }
    return records.empty() ? nullptr : &records[0];
  }
};

// One recording into a real file, with the program's enum sets and event declarations.
struct Recording {
  std::string path;
  FILE *stream = nullptr;
  ZekbinWriter *writer = nullptr;

  explicit Recording(const std::string &name, std::vector<ChannelDecl *> channels = recordedChannels(),
                     uint32_t cycleIndexed = 1, const char *file = nullptr) {
    path = file != nullptr ? file : tempPath(name);
    stream = std::fopen(path.c_str(), "wb");
    EXPECT_NE(stream, nullptr) << path;
    VmData *d = zek_getData();
    writer = zek_write_zekbin_headerblock(stream, channels.data(), (uint32_t)channels.size(), d->enumSets,
                                          d->enumSetCount, d->events, d->eventCount, zek_isSutSynchron(),
                                          cycleIndexed);
    EXPECT_NE(writer, nullptr);
  }
  ~Recording() {
    if (writer != nullptr) zek_close_zekbin_datablock(writer, stream, nullptr, 0, 0);
    if (stream != nullptr) std::fclose(stream);
  }
  int32_t row(uint64_t time = 0, const EventRecord *events = nullptr) {
    return zek_write_zekbin_signaldatarow(writer, stream, events, time);
  }
  int32_t finish(uint64_t step = 10, uint64_t time = 0, const EventRecord *events = nullptr) {
    int32_t r = zek_close_zekbin_datablock(writer, stream, events, step, time);
    writer = nullptr;
    std::fclose(stream);
    stream = nullptr;
    return r;
  }
  std::vector<uint8_t> bytes() const { return readAll(path); }
  zd::File decoded() const { return zd::parse(bytes()); }
};

template <typename T> void setElement(ChannelDecl *c, uint32_t k, T v) {
  std::memcpy(c->value + (size_t)k * c->elementSize, &v, sizeof v);
}

template <typename T> std::vector<uint8_t> bytesOf(T v) {
  std::vector<uint8_t> out(sizeof v);
  std::memcpy(out.data(), &v, sizeof v);
  return out;
}

}  // namespace rt
