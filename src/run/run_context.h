// The run-wide state: options, start time, configuration, open files,
// counters, the record buffer and the duplicate table. The driver owns it
// and hands the review and the announcements what each of them needs.
#pragma once

#include <cstdint>
#include <cstdio>

#include "config/site_config.h"
#include "files/announce.h"
#include "records/duplicate_filter.h"
#include "records/wp_record.h"

struct RunOptions {
  std::int32_t upd_days = 40;
  std::int32_t kill_days = 90;
  char update_file[kPathSize] = {};  // empty: no update file
  bool route_check = true;
};

struct RunCounters {
  std::int32_t total = 0;         // records with a non-empty callsign after review
  std::int32_t updated = 0;       // review answered 2
  std::int32_t deleted = 0;       // dropped with a non-zero last_update
  std::int32_t update_lines = 0;  // lines appended to mess.wp
  std::int32_t record_index = 0;  // records read so far
};

struct RunContext {
  RunOptions options;
  std::int32_t start_time = 0;
  SiteConfig config = {};
  std::FILE* backup = nullptr;    // wp.old, read
  std::FILE* database = nullptr;  // wp.sys, rewritten
  Announcer announcer;            // mess.wp and the update file, appended
  RunCounters counters;
  WpRecord record = {};
  DuplicateFilter duplicates = {};
};
