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
#include "recording.h"
#include "zek_common.h"

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
  return zt::writeFile(path, p.build().bytes);
}

bool writeInput(const std::string &path, int32_t rows) {
  std::vector<zt::RecordedSignal> signals = {zt::recordedSignal("x", 6, kElements)};
  std::vector<uint8_t> &values = signals[0].value;
  zt::RecordingOptions options;
  options.step = 1000;
  return zt::writeRecording(path, signals, rows, [&](int64_t r) -> const EventRecord * {
    for (uint32_t k = (uint32_t)(r % kChangePeriod); k < kElements; k += kChangePeriod)
      zek_store_as<int32_t>(values.data() + 4 * (size_t)k, (int32_t)r);
    return nullptr;
  }, options) == 0;
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
