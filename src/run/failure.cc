// The failure table: message and exit status of each failure.
#include "run/failure.h"

#include <cstdio>
#include <cstring>

namespace {

// Exit statuses.
constexpr int kFailure = 1;     // configuration, mess.wp, record write
constexpr int kCopyFailed = 2;  // backup copy or recovery
constexpr int kNoBackup = 3;    // backup cannot be read
constexpr int kNoDatabase = 4;  // database in use or cannot be rewritten, insecure folders
constexpr int kNoUpdateFile = 5;
constexpr int kUsageStatus = 2;  // wptool's usage errors

struct Entry {
  Failure failure;
  const char* format;  // printf format of the message, with up to two %s; nullptr: none
  int status;
};

// In the order of the enumeration.
constexpr Entry kTable[] = {
    {Failure::none, nullptr, 0},
    {Failure::update_name_long, "Update file name too long\n", kNoUpdateFile},
    {Failure::unknown_option, "Unknown option '%s'\n", kFailure},
    {Failure::invalid_option, "Invalid option '%s'\n", kFailure},
    {Failure::invalid_day_count, "Invalid day count '%s'\n", kFailure},
    {Failure::clock_out_of_range, "System time out of range\n", kFailure},
    {Failure::no_init_file, "Cannot open INIT.SRV     \n", kFailure},
    {Failure::no_base_directory, "Cannot find base directory in INIT.SRV\n", kFailure},
    {Failure::insecure_init_file, "Insecure file '%s': run kestol as its owner\n", kNoDatabase},
    {Failure::insecure_folder, "Insecure directory '%s': run kestol as its owner\n", kNoDatabase},
    {Failure::insecure_update_folder, "Insecure directory '%s': run kestol as its owner\n", kNoUpdateFile},
    {Failure::insecure_update_file, "Insecure file '%s': run kestol as its owner\n", kNoUpdateFile},
    {Failure::no_messages_file, "Cannot create '%s'  \n", kFailure},
    {Failure::database_in_use, "Database '%s' is in use\n", kNoDatabase},
    {Failure::no_lock_file, "Cannot create '%s'  \n", kNoDatabase},
    {Failure::journal_unreadable, "Error while reading file '%s'\n", kNoDatabase},
    {Failure::irregular_working_file, "Cannot use '%s': it must be a regular file or absent\n", kCopyFailed},
    {Failure::generation_beyond_keep,
     "Backup '%s' is beyond --keep=%s: run kestol with the site's own --keep, or remove the backups beyond "
     "that number\n",
     kFailure},
    {Failure::backup_gone,
     "Interrupted run: '%s' is gone; put the database as it was before that run back there and run kestol "
     "--recover, or run kestol --recover to keep '%s' as that run left it\n",
     kCopyFailed},
    {Failure::backup_changed,
     "Interrupted run: '%s' is not the backup it made; if it holds the database as it was before that run, "
     "run kestol --recover\n",
     kCopyFailed},
    {Failure::spool_left,
     "Interrupted run: '%s' holds what it announced, which may not all have reached %s: append what is "
     "missing "
     "there, remove the spool and run kestol --recover again\n",
     kCopyFailed},
    {Failure::undo_write_failed, "Error while writting file '%s'\n", kCopyFailed},
    {Failure::cannot_restore, "Cannot restore '%s' from '%s'\n", kCopyFailed},
    {Failure::no_database, "Cannot find %s\n", kCopyFailed},
    {Failure::no_backup_created, "Cannot create %s\n", kCopyFailed},
    {Failure::backup_is_database, "Backup '%s' is the database file\n", kCopyFailed},
    {Failure::copy_failed, nullptr, kCopyFailed},  // the incomplete backup is removed
    {Failure::no_backup_read, "Cannot open '%s'     \n", kNoBackup},
    {Failure::no_database_write, "Cannot open '%s'     \n", kNoDatabase},
    {Failure::no_update_file, "Cannot open '%s'     \n", kNoUpdateFile},
    {Failure::update_file_is_database_file, "Update file '%s' is a database file\n", kNoUpdateFile},
    {Failure::no_spool, "Cannot create '%s'  \n", kFailure},
    {Failure::journal_unwritable, "Error while writting file '%s'\n", kNoDatabase},
    {Failure::backup_read_failed, "Error while reading file '%s'\n", kNoBackup},
    {Failure::write_failed, "Error while writting file '%s'\n", kFailure},
    {Failure::too_many_drops, "Run would delete %s of %s records: nothing changed\n", kNoDatabase},
    {Failure::no_generation, "Cannot find %s\n", kCopyFailed},
    {Failure::spool_unreadable, "Error while reading file '%s'\n", kNoDatabase},
    {Failure::stopped, nullptr, 0},
    {Failure::preview_bad_time, "wptool: --at wants seconds since 1970 or YYYY-MM-DD HH:MM:SS, not '%s'\n",
     kUsageStatus},
    {Failure::preview_time_out_of_range, "wptool: --at time out of range\n", kUsageStatus},
    {Failure::preview_read_failed, "Error while reading file '%s'\n", kNoBackup},
    {Failure::preview_output_failed, nullptr, kFailure},
};

const Entry& entry(Failure failure) { return kTable[static_cast<int>(failure)]; }

constexpr bool in_order() {
  for (int i = 0; i < static_cast<int>(sizeof kTable / sizeof kTable[0]); ++i) {
    if (static_cast<int>(kTable[i].failure) != i) return false;
  }
  return true;
}
static_assert(in_order(), "the table follows the enumeration");
static_assert(static_cast<int>(sizeof kTable / sizeof kTable[0]) ==
              static_cast<int>(Failure::preview_output_failed) + 1);

const char* program_name = "kestol";

void copy_text(char (&to)[kShownSize], const char* text) {
  std::snprintf(to, sizeof to, "%s", text != nullptr ? text : "");
}

}  // namespace

void set_program_name(const char* name) { program_name = name; }

Failed fail(Failure failure, const char* path, const char* other) {
  Failed f;
  f.failure = failure;
  copy_text(f.path, path);
  copy_text(f.other, other);
  return f;
}

Failed fail_call(Failure failure, int error, const char* path, const char* other, const char* error_path) {
  Failed f = fail(failure, path, other);
  f.error = error;
  copy_text(f.error_path, error_path != nullptr ? error_path : path);
  return f;
}

void write_failure(const Failed& failed) {
  const Entry& e = entry(failed.failure);
  if (e.format != nullptr) std::fprintf(stderr, e.format, failed.path, failed.other);
  if (failed.error != 0)
    std::fprintf(stderr, "%s: %s: %s\n", program_name, failed.error_path, std::strerror(failed.error));
}

int failure_status(Failure failure) { return entry(failure).status; }

int report_failure(const Failed& failed) {
  write_failure(failed);
  return failure_status(failed.failure);
}
