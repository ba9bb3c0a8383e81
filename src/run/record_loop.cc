// The record loop over a file of records: review, duplicate table, write, count.
#include "run/record_loop.h"

#include "run/progress.h"
#include "run/record_count.h"
#include "util/fd_io.h"
#include "util/stop_signal.h"

LoopResult review_records(int in, int out, const ReviewPass& pass, WpRecord (&block)[kBlockRecords],
                          RunCounters* counters, DuplicateFilter* duplicates, std::int64_t* written) {
  duplicates->reset();
  const ReviewInputs inputs = {pass.route_check, pass.update_threshold, pass.kill_threshold,
                               duplicates,       &counters->total,      pass.announcements};
  for (;;) {
    ssize_t got = read_full(in, block, sizeof block);
    if (got < 0) return LoopResult::read_error;
    // A trailing partial record is not used.
    std::size_t records = static_cast<std::size_t>(got) / kRecordSize;
    std::size_t kept = 0;  // kept records move down to the front of the block
    for (std::size_t i = 0; i < records; ++i) {
      if (stop_signal() != 0) return LoopResult::stopped;
      WpRecord& record = block[i];
      WpRecord read;
      if (pass.reviewed != nullptr) read = record;
      ReviewNote note;
      int answer = review_record(inputs, &record, &note);
      if (pass.announcement_failed != nullptr && pass.announcement_failed(pass.announcement_target)) {
        return LoopResult::write_error;
      }
      if (pass.reviewed != nullptr) {
        pass.reviewed(pass.reviewed_target, read, record, answer, note, counters->record_index);
      }
      if (answer != kDrop) {
        if (kept != i) block[kept] = record;
        ++kept;
      }
      if (count_reviewed_record(answer, record, counters, duplicates) && pass.progress &&
          counters->total % 100 == 0) {
        write_progress(counters->total);
      }
    }
    if (kept > 0) {
      if (out >= 0 && !write_all(out, block, kept * kRecordSize)) return LoopResult::write_error;
      *written += static_cast<std::int64_t>(kept * kRecordSize);
    }
    if (static_cast<std::size_t>(got) < sizeof block) return LoopResult::done;
  }
}
