// The run sequence: banner, start time, configuration, run lock, backup
// copy, file opens, the record loop, the closing of every file and the
// summary. The database is never left truncated by a failure: once it has
// been opened for rewriting, any failure restores it from the backup.
#include "run/run.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <ctime>

#include "files/copy_file.h"
#include "files/run_lock.h"
#include "run/command_line.h"
#include "run/messages.h"
#include "run/progress.h"
#include "run/record_loop.h"
#include "run/run_context.h"
#include "run/summary.h"
#include "util/date_stamp.h"

namespace {

// Exit statuses.
constexpr int kOk = 0;
constexpr int kFailure = 1;     // configuration, mess.wp, record write
constexpr int kCopyFailed = 2;  // backup copy or recovery
constexpr int kNoBackup = 3;    // backup cannot be read
constexpr int kNoDatabase = 4;  // database in use or cannot be rewritten
constexpr int kNoUpdateFile = 5;

// Stream buffers of the two record files: large enough that the loop makes
// few system calls, fixed so that nothing is allocated per run.
char backup_buffer[1 << 16];
char database_buffer[1 << 16];
char messages_buffer[1 << 16];

RunContext context;
int lock_fd = -1;

// Opens a stream with one of the fixed buffers above; nullptr on failure.
template <std::size_t N>
std::FILE* open_buffered(const char* path, const char* mode, char (&buffer)[N]) {
  std::FILE* stream = std::fopen(path, mode);
  if (stream != nullptr) std::setvbuf(stream, buffer, _IOFBF, N);
  return stream;
}

void write_settings(const RunOptions& options) {
  std::fputs("Updating white pages database    \n", stderr);
  std::fprintf(stderr, "  Update time is %d days\n", options.upd_days);
  if (options.kill_days != 0) std::fprintf(stderr, "  Delete time is %d days\n\n", options.kill_days);
}

bool same_file(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// True when the open update file is the database, the backup, mess.wp or
// the lock file: appending records to a file the run reads or rewrites
// would corrupt it.
bool update_file_is_database_file(const RunContext& ctx) {
  struct stat update;
  if (fstat(fileno(ctx.update_file), &update) != 0) return false;
  struct stat other;
  if (stat(ctx.config.database_path, &other) == 0 && same_file(update, other)) return true;
  if (fstat(fileno(ctx.backup), &other) == 0 && same_file(update, other)) return true;
  if (fstat(fileno(ctx.messages), &other) == 0 && same_file(update, other)) return true;
  if (fstat(lock_fd, &other) == 0 && same_file(update, other)) return true;
  return false;
}

// Takes the run lock and, when a previous run was interrupted while the
// database was incomplete, restores it from the backup. Answers 0 to go
// on, or the exit status.
int lock_and_recover(const SiteConfig& config) {
  switch (take_run_lock(config.lock_path, &lock_fd)) {
    case LockResult::locked:
      break;
    case LockResult::in_use:
      std::fprintf(stderr, "Database '%s' is in use\n", config.database_path);
      return kNoDatabase;
    case LockResult::cannot_open:
      std::fprintf(stderr, "Cannot create '%s'  \n", config.lock_path);
      return kNoDatabase;
  }
  if (!is_marked_rewriting(lock_fd)) return 0;
  if (!restore_file(config.backup_path, config.database_path)) {
    std::fprintf(stderr, "Cannot restore '%s' from '%s'\n", config.database_path, config.backup_path);
    return kCopyFailed;
  }
  std::fprintf(stderr, "Previous run was interrupted: '%s' restored from '%s'\n", config.database_path,
               config.backup_path);
  clear_rewriting(lock_fd);  // if this fails, the next run restores again: harmless
  return 0;
}

// After a failure with the database open for rewriting: drops what was
// written and puts the backup back. The mark stays set if that fails, so
// the next run tries again.
void restore_database(RunContext& ctx) {
  if (ctx.database != nullptr) std::fclose(ctx.database);
  ctx.database = nullptr;
  const SiteConfig& config = ctx.config;
  if (restore_file(config.backup_path, config.database_path)) {
    clear_rewriting(lock_fd);
  } else {
    std::fprintf(stderr, "Cannot restore '%s' from '%s'\n", config.database_path, config.backup_path);
  }
}

// Opens the backup, the update file and, last, the database for
// rewriting, so that nothing before can cost the database. Answers 0 or
// the exit status.
int open_loop_files(RunContext& ctx) {
  const SiteConfig& config = ctx.config;
  ctx.backup = open_buffered(config.backup_path, "rb", backup_buffer);
  if (ctx.backup == nullptr) {
    std::fprintf(stderr, "Cannot open '%s'     \n", config.backup_path);
    return kNoBackup;
  }

  if (ctx.options.update_file[0] != '\0') {
    ctx.update_file = std::fopen(ctx.options.update_file, "ab");
    if (ctx.update_file == nullptr) {
      std::fprintf(stderr, "Cannot open '%s'     \n", ctx.options.update_file);
      return kNoUpdateFile;
    }
    if (update_file_is_database_file(ctx)) {
      std::fprintf(stderr, "Update file '%s' is a database file\n", ctx.options.update_file);
      return kNoUpdateFile;
    }
  }

  if (!mark_rewriting(lock_fd)) {
    std::fprintf(stderr, "Error while writting file '%s'\n", config.lock_path);
    return kNoDatabase;
  }
  ctx.database = open_buffered(config.database_path, "wb", database_buffer);
  if (ctx.database == nullptr) {
    std::fprintf(stderr, "Cannot open '%s'     \n", config.database_path);
    clear_rewriting(lock_fd);  // the database was not touched
    return kNoDatabase;
  }
  return 0;
}

// Closes the files of the loop in their order; false when the database
// could not be flushed to stable storage and closed.
bool close_loop_files(RunContext& ctx) {
  if (ctx.update_file != nullptr) std::fclose(ctx.update_file);
  ctx.update_file = nullptr;
  std::fclose(ctx.backup);
  ctx.backup = nullptr;
  bool database_ok = std::fflush(ctx.database) == 0;
  database_ok = fsync(fileno(ctx.database)) == 0 && database_ok;
  database_ok = std::fclose(ctx.database) == 0 && database_ok;
  ctx.database = nullptr;
  std::fclose(ctx.messages);
  ctx.messages = nullptr;
  return database_ok;
}

// Runs the record loop and closes its files; on any failure restores the
// database. Answers 0 or the exit status.
int rewrite_database(RunContext& ctx) {
  LoopResult loop = run_record_loop(ctx);
  if (loop == LoopResult::read_error) {
    std::fprintf(stderr, "Error while reading file '%s'\n", ctx.config.backup_path);
    restore_database(ctx);
    return kNoBackup;
  }
  if (loop == LoopResult::write_error || !close_loop_files(ctx)) {
    std::fprintf(stderr, "Error while writting file '%s'\n", ctx.config.database_path);
    restore_database(ctx);
    return kFailure;
  }
  // The database is whole and on disk. Should clearing the mark fail, the
  // next run restores the backup and redoes this run's work.
  clear_rewriting(lock_fd);
  return 0;
}

}  // namespace

int run_kestol(int argc, char** argv) {
  RunContext& ctx = context;
  buffer_standard_error();
  switch (parse_command_line(argc, argv, &ctx.options)) {
    case CommandLineAction::usage:
      write_usage();
      return kOk;
    case CommandLineAction::version:
      write_version();
      return kOk;
    case CommandLineAction::name_long:
      std::fputs("Update file name too long\n", stderr);
      return kNoUpdateFile;
    case CommandLineAction::run:
      break;
  }

  write_banner();
  std::time_t now = std::time(nullptr);
  // A 32-bit time_t cannot hold a time after 2038-01-19 03:14:07 UTC: the
  // clock reading then fails with -1, which is out of range too.
  if (now == static_cast<std::time_t>(-1) || now > INT32_MAX || now < INT32_MIN) {
    std::fputs("System time out of range\n", stderr);
    return kFailure;
  }
  ctx.start_time = static_cast<std::int32_t>(now);
  if (!read_site_config(ctx.start_time, ctx.options.upd_days, ctx.options.kill_days, &ctx.config)) {
    return kFailure;
  }
  write_settings(ctx.options);
  const SiteConfig& config = ctx.config;

  ctx.messages = open_buffered(config.update_message_path, "a", messages_buffer);
  if (ctx.messages == nullptr) {
    std::fprintf(stderr, "Cannot create '%s'  \n", config.update_message_path);
    return kFailure;
  }
  if (int status = lock_and_recover(config); status != 0) return status;

  std::fprintf(stderr, "%s - Saves WP.SYS file into WP.OLD file    \n\n", stamp_date(std::time(nullptr)));
  flush_standard_error();  // the copy of a large database takes a while
  if (!copy_file(config.database_path, config.backup_path)) return kCopyFailed;
  if (int status = open_loop_files(ctx); status != 0) return status;
  if (int status = rewrite_database(ctx); status != 0) return status;

  std::fprintf(stderr, "\rRecord %ld\n\n", static_cast<long>(ctx.counters.total));
  flush_standard_error();  // before the summary, so a shared log keeps the order
  write_summary(ctx);
  return kOk;
}
