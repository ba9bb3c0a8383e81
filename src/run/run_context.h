// The run-wide state: options, start time, configuration, open files and
// their buffers, the journal, counters and the duplicate table. The run
// owns one for its whole length and hands each step what it needs; there
// is no other state.
#pragma once

#include <cstddef>
#include <cstdint>

#include "config/site_config.h"
#include "files/announce.h"
#include "files/journal.h"
#include "files/path_walk.h"
#include "records/duplicate_filter.h"
#include "records/wp_record.h"

struct RunOptions {
  std::int32_t upd_days = 40;
  std::int32_t kill_days = 90;
  char update_file[kPathSize] = {};  // empty: no update file
  bool route_check = true;
  int keep = 3;                     // older backups kept besides wp.old: wp.old.1 to wp.old.keep
  bool keep_given = false;          // --keep was on the command line
  int max_drop = -1;                // percent of the records read a run may drop; -1: no limit
  int restore = -1;                 // the generation to put back (kestol --restore=N); -1: none
  bool recover = false;             // kestol --recover
  bool quiet = false;               // kestol -q: only failures and notices
  const char* argument = nullptr;   // the argument a refusal names
  char given_last[kPathSize] = {};  // the last argument before it was upper-cased
};

struct RunCounters {
  std::int32_t total = 0;         // records with a non-empty callsign after review
  std::int32_t updated = 0;       // review answered 2
  std::int32_t deleted = 0;       // dropped with a non-zero last_update
  std::int32_t update_lines = 0;  // lines appended to mess.wp
  std::int32_t record_index = 0;  // records read so far
};

// Fixed sizes of the buffers: nothing is allocated during a run.
constexpr std::size_t kAppendBufferSize = std::size_t{1} << 16;
constexpr std::size_t kLoopBlockRecords = 1024;

struct RunContext {
  RunOptions options;
  std::int32_t start_time = 0;
  SiteConfig config = {};
  bool strict = false;       // run as root: folders and links checked
  int init_error = 0;        // why init.srv could not be opened
  OpenFolder folder;         // the database's folder; every file in it is opened from it
  int folder_error = 0;      // why it could not be opened
  OpenFolder update_folder;  // the folder holding the update file, when one is named
  int update_folder_error = 0;
  char update_name[kNameSize] = {};  // the update file's name in it
  int lock_fd = -1;                  // kestol.lck, locked, holds the journal
  int database_lock_fd = -1;         // wp.sys, locked against the larger system's writers
  unsigned generations = 0;          // the generations there are, bit N for wp.old.N
  int appended_fd[2] = {-1, -1};     // mess.wp and the update file, as the run opened them
  bool created[2] = {};              // by this run
  int backup_fd = -1;                // wp.new, read
  int database_fd = -1;              // wp.sys, rewritten from its start
  std::int64_t database_length = 0;  // bytes written to wp.sys so far
  Announcer announcer;               // the spools of mess.wp and the update file
  Journal journal;                   // as written
  bool backup_made = false;          // wp.new is this run's and no journal covers it yet
  bool journal_set = false;          // the journal covers the run: the way back decides
  RunCounters counters;
  DuplicateFilter duplicates = {};
  char shown[kRealPathSize] = {};  // a path a message names
  char messages_buffer[kAppendBufferSize];
  char update_buffer[kAppendBufferSize];
  WpRecord block[kLoopBlockRecords];  // the record loop's
};
