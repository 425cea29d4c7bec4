// The library inside a real MEX host: GNU Octave loads a MEX gateway that plays the
// S-function wrapper over zek_sfun_lib64; client functions and "zekGetEnumBaseType" are
// Octave functions. The gateway and the image are built with the tests.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "zekbin_decoder.h"

using ::testing::HasSubstr;

namespace {

std::string run(const std::string &command) {
  std::string out;
  FILE *p = popen(command.c_str(), "r");
  if (p == nullptr) return out;
  char buffer[4096];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, p)) > 0) out.append(buffer, n);
  pclose(p);
  return out;
}

TEST(Octave, RunsTheBlockThroughInitStepsAndTerminate) {
  if (std::string(ZEK_OCTAVE_CLI).empty()) GTEST_SKIP() << ZEK_OCTAVE_SKIP;
  std::string record = "/tmp/zek_sfun_octave_" + std::to_string(getpid()) + ".zekbin";
  std::string out = run(std::string("cd '") + ZEK_OCTAVE_GATEWAY_DIR + "' && '" + ZEK_OCTAVE_CLI +
                        "' --no-gui --norc --quiet --no-window-system --path '" + ZEK_OCTAVE_SCRIPTS + "' '" +
                        ZEK_OCTAVE_SCRIPTS + "/run_block.m' '" + ZEK_SFUN_IMAGES + "/functions.zvm' '" + record +
                        "' 2>&1");
  EXPECT_THAT(out, HasSubstr("ZEK > Init ZEK VM\nZEK > Program file : " + std::string(ZEK_SFUN_IMAGES) +
                             "/functions.zvm\nZEK > Record file : " + record + "\nZEK > Build-Date  : "));
  EXPECT_THAT(out, HasSubstr("init=1\n"));
  // y = 2 x + b, computed by the Octave function cf from the VM's arguments.
  EXPECT_THAT(out, HasSubstr("step 1: y=3 goOn=1\nstep 2: y=5 goOn=1\nstep 3: y=7 goOn=1\n"));
  EXPECT_THAT(out, HasSubstr("call: ok=1 out=10\n"));
  EXPECT_THAT(out, HasSubstr("enum Gear=6 Flag=10 Other=0\n"));
  EXPECT_THAT(out, HasSubstr("failing step: goOn=0\n"));
  EXPECT_THAT(out, HasSubstr("report: Function 'cf': Error in matlab client function"));
  // Terminate and init from inside the cycle are refused; the cycle ends with the refusal.
  EXPECT_THAT(out, HasSubstr("init again=1\ninner reinit=0\nreentering step: goOn=0\n"));
  EXPECT_THAT(out, HasSubstr("report: zek_sfun_terminate(): not allowed inside a cycle; call it between cycles.\n"
                             "report: zek_sfun_init(): not allowed inside a cycle; call it between cycles.\n"
                             "report: Function 'cf': zek_sfun_terminate(): not allowed inside a cycle; call it "
                             "between cycles. (error=119"));
  EXPECT_THAT(out, HasSubstr("done\n")) << "the host survived every failing call";
  std::ifstream f(record, std::ios::binary);
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  zd::File file = zd::parse(bytes);
  EXPECT_EQ(file.error, "");
  EXPECT_EQ(file.rows(), 3) << "the three cycles before the failing one";
  std::remove(record.c_str());
  std::ifstream again(record + ".again", std::ios::binary);
  zd::File second = zd::parse({(std::istreambuf_iterator<char>(again)), std::istreambuf_iterator<char>()});
  EXPECT_EQ(second.error, "") << "the record file of the second run is finished";
  EXPECT_EQ(second.rows(), 0);
  std::remove((record + ".again").c_str());
}

}  // namespace
