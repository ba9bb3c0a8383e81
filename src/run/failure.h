// Every way a run or a preview can fail, with its message and its exit
// status, in one table (failure.cc). The steps of a run answer a Failed
// value: which failure, the texts its message names, and for a failed
// system call its error and the file it failed on; report_failure alone
// writes the message, the reason, and gives the status.
#pragma once

#include <cstddef>

enum class Failure : unsigned char {
  none,
  // The command line and the clock.
  update_name_long,
  unknown_option,
  invalid_option,
  invalid_day_count,
  clock_out_of_range,
  // The site's configuration and folders.
  no_init_file,
  no_base_directory,
  insecure_init_file,
  insecure_folder,
  insecure_update_folder,
  insecure_update_file,
  // The run lock and the journal of an interrupted run.
  no_messages_file,
  database_in_use,
  no_lock_file,
  journal_unreadable,
  irregular_working_file,
  generation_beyond_keep,
  backup_gone,
  backup_changed,
  spool_left,
  undo_write_failed,
  cannot_restore,
  // The backup copy.
  no_database,
  no_backup_created,
  backup_is_database,
  copy_failed,
  // The files of the record loop and the commit.
  no_backup_read,
  no_database_write,
  no_update_file,
  update_file_is_database_file,
  no_spool,
  journal_unwritable,
  backup_read_failed,
  write_failed,
  too_many_drops,
  no_generation,
  spool_unreadable,
  stopped,  // a stop signal: no message, the process ends by the signal
  // wptool preview.
  preview_bad_time,
  preview_time_out_of_range,
  preview_read_failed,
  preview_output_failed,
};

constexpr std::size_t kShownSize = 4096;  // a real path and its NUL

// A failure and the texts its message names (at most two), held by value
// so that it outlives the buffers they came from; for a failed system call
// its errno and, when it is not the first text, the file it failed on.
struct Failed {
  Failure failure = Failure::none;
  char path[kShownSize] = {};
  char other[kShownSize] = {};
  int error = 0;  // 0: not a system error
  char error_path[kShownSize] = {};
  explicit operator bool() const { return failure != Failure::none; }
};

// The failure, naming path and other (nullptr: none).
Failed fail(Failure failure, const char* path = nullptr, const char* other = nullptr);
// The same after a system call failed with error (errno) on error_path
// (nullptr: on path).
Failed fail_call(Failure failure, int error, const char* path, const char* other = nullptr,
                 const char* error_path = nullptr);

// Writes the message of failed to standard error (nothing for those that
// have none), then for a system error the line "kestol: PATH: REASON",
// and answers its exit status.
int report_failure(const Failed& failed);
// Writes the message only, for a failure that is not the run's last word
// (one step of an undo that went wrong, one cause among several).
void write_failure(const Failed& failed);
// The name that starts a reason line ("kestol" unless set).
void set_program_name(const char* name);
// The exit status of failure.
int failure_status(Failure failure);
