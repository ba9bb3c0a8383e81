// The bookkeeping after the review of one record: the duplicate table it
// feeds and the counts of the summary, shared by the run and the preview
// so that both count alike.
#pragma once

#include "records/duplicate_filter.h"
#include "records/wp_record.h"
#include "run/run_context.h"

// Adds the key of the reviewed record to the duplicate table from index
// kFirstKeyedIndex on, then counts the record after the review answered
// answer: total for a non-empty callsign, updated, deleted for a drop with
// a non-zero last_update, and its index. True when total grew.
bool count_reviewed_record(int answer, const WpRecord& record, RunCounters* counters,
                           DuplicateFilter* duplicates);
