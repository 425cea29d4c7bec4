#include "vm_harness.h"

namespace {

TEST(RunCycle, TimeoutDecidesWhenTheTestEnds) {
  struct Row { uint32_t timeout; std::vector<uint32_t> results; uint32_t finalCount; };
  const Row rows[] = {
      {0, {2}, 0},
      {3, {0, 0, 0, 2}, 3},
  };
  for (const Row &row : rows) {
    zt::Program p;
    p.timeout = row.timeout;
    auto l = zt::load(p);
    ASSERT_EQ(l.result, 0u) << zt::errorText();
    for (uint32_t expected : row.results) EXPECT_EQ(zek_runCycle(), expected) << row.timeout;
    EXPECT_EQ(zek_getCycleCount(), row.finalCount);
  }
}

}  // namespace
