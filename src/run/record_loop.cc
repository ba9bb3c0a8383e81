// The record loop over the backup.
#include "run/record_loop.h"

#include <cstdio>

LoopResult run_record_loop(RunContext& ctx) {
  WpRecord& record = ctx.record;
  RunCounters& counters = ctx.counters;
  while (read_record(ctx.backup, &record)) {
    if (!write_record(ctx.database, &record)) return LoopResult::write_error;
    if (record.callsign[0] != '\0') {
      ++counters.total;
      if (counters.total % 100 == 0) std::fprintf(stderr, "\rRecord %ld", static_cast<long>(counters.total));
    }
    ++counters.record_index;
  }
  return std::ferror(ctx.backup) ? LoopResult::read_error : LoopResult::done;
}
