// The record loop, shared by the run and the preview: every whole record
// of a file, reviewed in place, counted, and (for the run) the kept ones
// written to the database.
#pragma once

#include <cstddef>
#include <cstdint>

#include "records/duplicate_filter.h"
#include "records/review.h"
#include "records/wp_record.h"
#include "run/run_context.h"

// Records are read and written this many at a time: few system calls,
// and a fixed 194 KiB whatever the size of the database.
constexpr std::size_t kBlockRecords = kLoopBlockRecords;

// What a pass reviews with, besides the counters and the duplicate table.
struct ReviewPass {
  bool route_check;
  std::int32_t update_threshold;
  std::int32_t kill_threshold;
  AnnouncementSink announcements;
  // Whether an announcement has failed; nullptr: they cannot.
  bool (*announcement_failed)(const void* target);
  const void* announcement_target;
  // Called after the review of each record with the record as it was read
  // and as the review left it, before its key enters the duplicate table;
  // nullptr: nothing to call.
  void (*reviewed)(void* target, const WpRecord& read, const WpRecord& reviewed, int answer,
                   const ReviewNote& note, std::int32_t index);
  void* reviewed_target;
  bool progress;  // "\rRecord N" lines on standard error
};

enum class LoopResult { done, read_error, write_error, stopped };

// Reads in in blocks, reviews each record in place, counts it into
// counters and feeds the duplicate table, and writes the kept records of
// each block to out in one write, adding their bytes to *written (out -1:
// nothing is written, the bytes kept are counted all the same). write_error also covers a failed
// announcement; stopped, a stop signal, seen between two records.
LoopResult review_records(int in, int out, const ReviewPass& pass, WpRecord (&block)[kBlockRecords],
                          RunCounters* counters, DuplicateFilter* duplicates, std::int64_t* written);
