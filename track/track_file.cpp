// The coverage result file that the IDE reads: u32 decision count, then per decision its kind
// byte and, for kinds 1 and 2, its count and outcomes. No header, magic or padding; integers
// and distances little-endian.
//
//   kind 1: u32 n, n blocks {condTrue, condFalse, mcdcTrue, mcdcFalse}, decisionTrue, decisionFalse
//   kind 2: u32 n, n case outcomes
//   outcome (16 bytes): i32 hits, i32 first cycle, f64 minimum distance
//
// The file is written next to its final place under a temporary name of its own and then put
// in place in one step, so an old result survives a failed save and a reader never sees half a
// file. The temporary name is short whatever the result's name, and that file is created new:
// whatever else lies in the folder (a file or link of any name) is never opened or changed.
#include "track_state.h"
#include "zek_platform.h"
#include "zek_track.h"

#include <bit>
#include <cstdio>
#include <cstdlib>

namespace {

// Buffered output that remembers whether any write failed.
struct TrackWriter {
  std::FILE *file;
  bool failed;
  size_t used;
  uint8_t buffer[8192];
};

void track_flush(TrackWriter &w) {
  if (w.used > 0 && !w.failed && std::fwrite(w.buffer, 1, w.used, w.file) != w.used) w.failed = true;
  w.used = 0;
}

void track_put(TrackWriter &w, uint64_t value, int bytes) {
  if (w.used + static_cast<size_t>(bytes) > sizeof w.buffer) track_flush(w);
  for (int i = 0; i < bytes; ++i) w.buffer[w.used++] = static_cast<uint8_t>(value >> (8 * i));
}

void track_put_outcome(TrackWriter &w, const TrackOutcome &o) {
  track_put(w, static_cast<uint32_t>(o.hits), 4);
  track_put(w, static_cast<uint32_t>(o.firstCycle), 4);
  track_put(w, std::bit_cast<uint64_t>(o.minDistance), 8);
}

void track_write_table(TrackWriter &w) {
  track_put(w, g_track.decisionCount, 4);
  for (uint32_t d = 0; d < g_track.decisionCount; ++d) {
    const TrackDecision &decision = g_track.decisions[d];
    track_put(w, decision.kind, 1);
    if (decision.kind == TRACK_KIND_UNUSED) continue;
    track_put(w, decision.count, 4);
    if (decision.kind == TRACK_KIND_CONDITIONAL) {
      for (uint32_t i = 0; i < decision.count; ++i) {
        track_put_outcome(w, decision.condTrue[i]);
        track_put_outcome(w, decision.condFalse[i]);
        track_put_outcome(w, decision.mcdcTrue[i]);
        track_put_outcome(w, decision.mcdcFalse[i]);
      }
      track_put_outcome(w, decision.decisionTrue);
      track_put_outcome(w, decision.decisionFalse);
    } else {
      for (uint32_t i = 0; i < decision.count; ++i) track_put_outcome(w, decision.condTrue[i]);
    }
  }
  track_flush(w);
}

// Writes the whole file under a new temporary name beside path and puts it in path's place;
// false (with the message) when that fails, and no temporary file is left then.
bool track_write_file(const char *path) {
  TrackWriter *w = static_cast<TrackWriter *>(std::malloc(sizeof(TrackWriter)));
  if (w == nullptr) {
    track_report_error("Failed to allocate temporary memory to write track data to file '%s'.", path);
    return false;
  }
  char *temporaryPath = nullptr;
  w->file = plat_temporary_file_create(path, &temporaryPath);
  if (w->file == nullptr) {
    std::free(w);
    track_report_error("Cannot open file '%s' to write track data.", path);
    return false;
  }
  w->failed = false;
  w->used = 0;
  track_write_table(*w);
  bool ok = !w->failed && std::fflush(w->file) == 0 && std::ferror(w->file) == 0;
  ok = std::fclose(w->file) == 0 && ok;
  std::free(w);
  if (!ok) {
    plat_file_remove(temporaryPath);
    track_report_error("Failed to write track data to file '%s'.", path);
  } else if (!plat_file_replace(temporaryPath, path)) {
    plat_file_remove(temporaryPath);
    track_report_error("Cannot replace file '%s' with the new track data.", path);
    ok = false;
  }
  std::free(temporaryPath);
  return ok;
}

// The longest value of an environment variable on Windows, with its terminator.
constexpr size_t TRACK_ENV_CAPACITY = 32768;
char g_trackEnvPath[TRACK_ENV_CAPACITY];

} // namespace

void ZEK_TRACK_save_to(const char *path) {
  if (!g_track.initialised) {
    track_report_error("ZEK_TRACKS_init() has not been called before or failed.");
    return;
  }
  if (path == nullptr || path[0] == '\0') {
    track_report_error("No file name given. Track data cannot be written.");
    return;
  }
  zek_printf("Saving tracked data to %s ... ", path);
  bool ok = track_write_file(path);
  zek_printf("%s", ok ? "done\n" : "failed\n");
}

void ZEK_TRACK_save(void) {
  if (!plat_getenv("ZEK_TRACK_FILE", g_trackEnvPath, sizeof g_trackEnvPath)) {
    track_report_error("Environment variable ZEK_TRACK_FILE has not been set. Track data cannot be written.");
    return;
  }
  if (g_trackEnvPath[0] == '\0') {
    track_report_error("Environment variable ZEK_TRACK_FILE is empty. Track data cannot be written.");
    return;
  }
  ZEK_TRACK_save_to(g_trackEnvPath);
}
