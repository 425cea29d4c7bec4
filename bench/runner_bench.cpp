// Speed of the console runner: rows per second through zekvm (a child process, real files) for
// a recorded input of 10^4 int32 elements over 10^5 rows, with input reading and output
// recording on; for comparison the same run without the record file and without both files.
// The input changes 10 elements per row (each element every 1000 rows), the rest repeats.
// Writes its files into $TMPDIR (or /tmp) and removes them.
// Usage: zek_runner_bench [row scale, default 1]
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "image_builder.h"
#include "zekbin_writer.h"

extern char **environ;

namespace {

constexpr uint32_t kElements = 10000;
constexpr int32_t kChangePeriod = 1000;

std::string tempDir() {
  const char *tmp = std::getenv("TMPDIR");
  return tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
}

bool writeProgram(const std::string &path, int32_t rows) {
  zt::Program p;
  p.timeout = (uint32_t)rows + 10;  // the input's end ends the run
  p.density = 1000;
  p.channel("x", 6, 0, kElements).flags = 0x02;
  p.code = "ENDCYCLE";
  zt::Image img = p.build();
  FILE *f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  bool ok = std::fwrite(img.bytes.data(), 1, img.bytes.size(), f) == img.bytes.size();
  return std::fclose(f) == 0 && ok;
}

bool writeInput(const std::string &path, int32_t rows) {
  std::vector<int32_t> values(kElements, 0);
  ChannelDecl d{};
  d.name = "x";
  d.baseType = 6;
  d.elementSize = 4;
  d.elementCount = kElements;
  d.value = (uint8_t *)values.data();
  d.recorded = 1;
  d.option2 = d.option4 = d.option5 = -1;
  ChannelDecl *channels[] = {&d};
  FILE *f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  ZekbinWriter *w = zek_write_zekbin_headerblock(f, channels, 1, nullptr, 0, nullptr, 0, 0, 1);
  int32_t result = w != nullptr ? 0 : ZEKBIN_WRITE_NO_WRITER;
  for (int32_t r = 0; r < rows && result == 0; ++r) {
    for (uint32_t k = (uint32_t)(r % kChangePeriod); k < kElements; k += kChangePeriod) values[k] = r;
    result = zek_write_zekbin_signaldatarow(w, f, nullptr, (uint64_t)r * 1000);
  }
  if (w != nullptr) result = zek_close_zekbin_datablock(w, f, nullptr, 1000, (uint64_t)rows * 1000);
  return std::fclose(f) == 0 && result == 0;
}

// Runs zekvm with the arguments; the seconds it took, or -1 when it failed.
double timeZekvm(const std::vector<std::string> &args) {
  std::vector<std::string> all{ZEKVM_PATH};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char *> argv;
  for (std::string &a : all) argv.push_back(a.data());
  argv.push_back(nullptr);
  auto start = std::chrono::steady_clock::now();
  pid_t pid;
  if (posix_spawn(&pid, ZEKVM_PATH, nullptr, nullptr, argv.data(), environ) != 0) return -1;
  int status = 0;
  waitpid(pid, &status, 0);
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? seconds : -1;
}

long fileSize(const std::string &path) {
  FILE *f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return -1;
  std::fseek(f, 0, SEEK_END);
  long n = std::ftell(f);
  std::fclose(f);
  return n;
}

}  // namespace

int main(int argc, char **argv) {
  double scale = argc > 1 ? std::atof(argv[1]) : 1.0;
  if (!(scale > 0)) scale = 1.0;
  int32_t rows = (int32_t)(100000 * scale) > 0 ? (int32_t)(100000 * scale) : 1;
  std::string base = tempDir() + "/zek_runner_bench_" + std::to_string(getpid());
  std::string program = base + ".zvm", input = base + "_in.zekbin", output = base + "_out.zekbin";
  if (!writeProgram(program, rows) || !writeInput(input, rows)) {
    std::fprintf(stderr, "zek_runner_bench: cannot write the program or the input into %s\n", tempDir().c_str());
    return 1;
  }
  std::printf("input: %d rows of %u int32 elements, %ld bytes\n", rows, kElements, fileSize(input));
  struct Case {
    const char *what;
    std::vector<std::string> args;
  };
  const Case cases[] = {
      {"input reading and output recording", {program, "-i", input, "-o", output}},
      {"input reading only", {program, "-i", input}},
      {"neither (the same cycles, no files)", {program}},
  };
  bool ok = true;
  for (const Case &c : cases) {
    double seconds = timeZekvm(c.args);
    if (seconds < 0) {
      std::fprintf(stderr, "%s: zekvm failed\n", c.what);
      ok = false;
      continue;
    }
    std::printf("%-40s %10.0f rows/s (%.2f s)\n", c.what, rows / seconds, seconds);
  }
  std::printf("output: %ld bytes\n", fileSize(output));
  std::remove(program.c_str());
  std::remove(input.c_str());
  std::remove(output.c_str());
  return ok ? 0 : 1;
}
