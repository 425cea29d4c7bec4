// Writes valid program images of both byte orders as the loader fuzzer's seeds.
#include <cstdio>
#include <string>

#include "image_builder.h"
#include "recording.h"

int main(int argc, char **argv) {
  if (argc != 2) return 2;
  int n = 0;
  for (bool big : {false, true}) {
    zt::Program p;
    p.bigEndian = big;
    p.history = 3;
    p.buckets = 2;
    p.attributes = {"suppressed=a,b"};
    p.enums.push_back({4, {-1, 7}, {"NEG", "SEVEN"}});
    auto &in = p.channel("in", 4, 0, 3);
    in.scaling = std::vector<double>{1, 2, 3, 4};
    in.externalName = "ext";
    in.option2 = 1;
    in.option4 = 2;
    in.option5 = 3;
    in.attributes = std::vector<std::string>{"exchangemode=LOCAL"};
    p.channel("out", 9, 1).part = 2;
    p.channel("q", 7, 3).part = 3;
    p.channel("arg", 6, 5);
    p.functions.push_back({"f", 1, "fn", 3, 1, std::nullopt, std::nullopt});
    p.functions.push_back({"g", 2, "", 3, 1, std::nullopt, std::nullopt});
    p.events.push_back({1, "ev"});
    p.code = "PUSHINT32 1; DROP; ENDCYCLE; fn: ENDCYCLE";
    zt::Image img = p.build();
    std::string path = std::string(argv[1]) + "/seed" + std::to_string(n++);
    if (!zt::writeFile(path, img.bytes)) return 1;
  }
  return 0;
}
