// The record loop over the backup: review, duplicate table, write, count.
#include "run/record_loop.h"

#include <cstdio>

#include "records/review.h"
#include "run/progress.h"

namespace {

// Records from this index on feed the duplicate table.
constexpr std::int32_t kFirstTableIndex = 65535;

}  // namespace

LoopResult run_record_loop(RunContext& ctx) {
  WpRecord& record = ctx.record;
  RunCounters& counters = ctx.counters;
  ctx.duplicates.reset();
  ctx.announcer.update_lines = &counters.update_lines;
  const ReviewInputs inputs = {ctx.options.route_check,   ctx.config.update_threshold,
                               ctx.config.kill_threshold, &ctx.duplicates,
                               &counters.total,           announcement_sink(ctx.announcer)};
  while (read_record(ctx.backup, &record)) {
    int answer = review_record(inputs, &record);
    if (counters.record_index >= kFirstTableIndex) ctx.duplicates.add(record.callsign);
    if (answer == kKeepUpdated) ++counters.updated;
    if (answer != kDrop) {
      if (!write_record(ctx.database, &record)) return LoopResult::write_error;
    } else if (get_time(record.last_update) != 0) {
      ++counters.deleted;
    }
    if (record.callsign[0] != '\0') {
      ++counters.total;
      if (counters.total % 100 == 0) write_progress(counters.total);
    }
    ++counters.record_index;
  }
  return std::ferror(ctx.backup) ? LoopResult::read_error : LoopResult::done;
}
