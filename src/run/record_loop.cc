// The record loop over the backup: review, duplicate table, write, count.
#include "run/record_loop.h"

#include "records/review.h"
#include "run/progress.h"
#include "run/record_count.h"
#include "util/fd_io.h"
#include "util/stop_signal.h"

namespace {

// Records are read and written this many at a time: few system calls,
// and a fixed 194 KiB whatever the size of the database.
constexpr std::size_t kBlockRecords = 1024;
WpRecord block[kBlockRecords];

}  // namespace

LoopResult run_record_loop(RunContext& ctx) {
  RunCounters& counters = ctx.counters;
  Announcer& announcer = ctx.announcer;
  ctx.duplicates.reset();
  announcer.update_lines = &counters.update_lines;
  const ReviewInputs inputs = {ctx.options.route_check,   ctx.config.update_threshold,
                               ctx.config.kill_threshold, &ctx.duplicates,
                               &counters.total,           announcement_sink(announcer)};
  for (;;) {
    ssize_t got = read_full(ctx.backup_fd, block, sizeof block);
    if (got < 0) return LoopResult::read_error;
    // A trailing partial record is not used.
    std::size_t records = static_cast<std::size_t>(got) / kRecordSize;
    std::size_t kept = 0;  // kept records move down to the front of the block
    for (std::size_t i = 0; i < records; ++i) {
      if (stop_signal() != 0) return LoopResult::stopped;
      WpRecord& record = block[i];
      int answer = review_record(inputs, &record);
      if (announcer.messages.failed || announcer.update_file.failed) return LoopResult::write_error;
      if (answer != kDrop) {
        if (kept != i) block[kept] = record;
        ++kept;
      }
      if (count_reviewed_record(answer, record, &counters, &ctx.duplicates) && counters.total % 100 == 0) {
        write_progress(counters.total);
      }
    }
    if (kept > 0) {
      if (!write_all(ctx.database_fd, block, kept * kRecordSize)) return LoopResult::write_error;
      ctx.database_length += static_cast<std::int64_t>(kept * kRecordSize);
    }
    if (static_cast<std::size_t>(got) < sizeof block) return LoopResult::done;
  }
}
