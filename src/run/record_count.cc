// Duplicate table and counts after a review.
#include "run/record_count.h"

#include "records/review.h"

bool count_reviewed_record(int answer, const WpRecord& record, RunCounters* counters,
                           DuplicateFilter* duplicates) {
  if (counters->record_index >= kFirstKeyedIndex) duplicates->add(record.callsign);
  ++counters->record_index;
  if (answer == kKeepUpdated) ++counters->updated;
  if (answer == kDrop && get_time(record.last_update) != 0) ++counters->deleted;
  if (record.callsign[0] == '\0') return false;
  ++counters->total;
  return true;
}
