// Every way a run or a preview can fail, with its message and its exit
// status, in one table (failure.cc). The steps of a run answer a Failed
// value, which failure and the paths it concerns; report_failure alone
// writes the message and gives the status.
#pragma once

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
  // The run lock and the journal of an interrupted run.
  no_messages_file,
  database_in_use,
  no_lock_file,
  journal_unreadable,
  backup_gone,
  backup_changed,
  appended_file_gone,
  appended_file_changed,
  interrupted_run_not_undone,
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
  journal_unwritable,
  backup_read_failed,
  write_failed,
  journal_not_cleared,
  too_many_drops,
  no_generation,
  stopped,  // a stop signal: no message, the process ends by the signal
  // wptool preview.
  preview_bad_time,
  preview_time_out_of_range,
  preview_read_failed,
  preview_output_failed,
};

// A failure and the paths its message names (at most two).
struct Failed {
  Failure failure = Failure::none;
  const char* path = nullptr;
  const char* other = nullptr;
  explicit operator bool() const { return failure != Failure::none; }
};

// Writes the message of failed to standard error (nothing for those that
// have none) and answers its exit status.
int report_failure(const Failed& failed);
// Writes the message only, for a failure that is not the run's last word
// (one step of an undo that went wrong, one cause among several).
void write_failure(const Failed& failed);
// The exit status of failure.
int failure_status(Failure failure);
