#pragma once
// The program that the hosts' recording sweeps run: y = x + 1 over 40 cycles with an event in
// each, so that every element outgrows its first chunk and the event records outgrow their
// first lists, which puts every allocation and write of a recording on its way. Run as a
// plain program and as a SuT-synchronous one (whose last cycle has no row of its own).
#include <ostream>

#include "image_builder.h"

namespace zt {

struct RecordingSweepCase {
  const char *what;
  bool sut;
  int rows;  // rows of a complete file
};

inline void PrintTo(const RecordingSweepCase &c, std::ostream *os) { *os << c.what; }

inline const RecordingSweepCase kRecordingSweepCases[] = {{"plain", false, 40}, {"sut", true, 39}};

inline Program recordingSweepProgram(bool sut) {
  Program p;
  p.flags = sut ? 1 : 0;
  p.timeout = 39;
  p.density = 1000;
  p.channel("y", 9, 1).flags = 0x02;
  p.channel("x", 9, 3).flags = 0x02;
  p.events.push_back({1, "tick"});
  p.code = "READALL x; PUSHDOUBLE 1; PLUS; WRITEALL x; READALL x; WRITEALL y; EVENT tick 0; ENDCYCLE";
  return p;
}

}  // namespace zt
