// The run sequence: banner, start time, configuration, run lock, backup
// copy, file opens, the record loop, the commit of every file and the
// summary. The run is one transaction: from the moment the journal is set
// until it is cleared, any failure or stop signal cuts the appended files
// back and restores the database from the backup, and a run that was
// killed in that window is undone the same way by the next one.
#include "run/run.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <initializer_list>

#include "files/copy_file.h"
#include "files/journal.h"
#include "files/run_lock.h"
#include "files/safe_folder.h"
#include "run/command_line.h"
#include "run/messages.h"
#include "run/progress.h"
#include "run/record_loop.h"
#include "run/run_context.h"
#include "run/summary.h"
#include "util/date_stamp.h"
#include "util/fd_io.h"
#include "util/stop_signal.h"

namespace {

// Exit statuses.
constexpr int kOk = 0;
constexpr int kFailure = 1;     // configuration, mess.wp, record write
constexpr int kCopyFailed = 2;  // backup copy or recovery
constexpr int kNoBackup = 3;    // backup cannot be read
constexpr int kNoDatabase = 4;  // database in use or cannot be rewritten
constexpr int kNoUpdateFile = 5;

// Buffers of the two appended files, fixed so that nothing is allocated
// per run.
char messages_buffer[1 << 16];
char update_buffer[1 << 16];

RunContext context;

void write_settings(const RunOptions& options) {
  std::fputs("Updating white pages database    \n", stderr);
  std::fprintf(stderr, "  Update time is %d days\n", options.upd_days);
  if (options.kill_days != 0) std::fprintf(stderr, "  Delete time is %d days\n\n", options.kill_days);
}

// As root, the database's folder and the base folder above it must be
// root's alone: anyone else who could write there could point the run's
// files at any file of the machine. Answers 0 or the exit status.
int check_folders(const SiteConfig& config) {
  if (geteuid() != 0) return 0;
  char folder[kPathSize];
  std::snprintf(folder, sizeof folder, "%swp/", config.base_directory);
  const char* base = config.base_directory[0] != '\0' ? config.base_directory : ".";
  for (const char* path : {static_cast<const char*>(folder), base}) {
    if (!folder_is_root_only(path)) {
      std::fprintf(stderr, "Insecure directory '%s': run kestol as its owner\n", path);
      return kNoDatabase;
    }
  }
  return 0;
}

// Opens an appended file into out; false when it cannot be opened.
bool open_appended(const char* path, Links links, char* buffer, std::size_t size, OutputBuffer* out,
                   bool* created) {
  int fd = open_regular(path, O_WRONLY | O_APPEND, 0, links);
  *created = false;
  if (fd < 0 && errno == ENOENT) {
    fd = open_regular(path, O_WRONLY | O_APPEND | O_CREAT | O_EXCL, 0666, links);
    *created = fd >= 0;
  }
  if (fd < 0) return false;
  *out = OutputBuffer{fd, buffer, size, 0, false};
  return true;
}

// True when the open update file is the database, the backup, mess.wp, the
// lock file, init.srv or the result file: appending records to a file the
// run or the larger system reads or rewrites would corrupt it.
bool update_file_is_database_file(const RunContext& ctx) {
  struct stat update;
  if (fstat(ctx.announcer.update_file.fd, &update) != 0) return false;
  struct stat other;
  for (const char* path : {ctx.config.database_path, "init.srv", ctx.config.result_file_name}) {
    if (stat(path, &other) == 0 && same_file(update, other)) return true;
  }
  for (int fd : {ctx.backup_fd, ctx.announcer.messages.fd, ctx.lock_fd}) {
    if (fstat(fd, &other) == 0 && same_file(update, other)) return true;
  }
  return false;
}

// Cuts the files of journal back and restores the database from the
// backup, in that order; clears the mark only when both worked, so that
// otherwise the next run tries again. False, with a message, on failure.
bool undo_from_journal(int lock_fd, const SiteConfig& config, const Journal& journal) {
  const char* failed_path = nullptr;
  bool cut = cut_appended_files(journal, &failed_path);
  if (!cut) std::fprintf(stderr, "Error while writting file '%s'\n", failed_path);
  if (!restore_file(config.backup_path, config.database_path,
                    journal.has_backup ? &journal.backup : nullptr)) {
    std::fprintf(stderr, "Cannot restore '%s' from '%s'\n", config.database_path, config.backup_path);
    return false;
  }
  return cut && clear_rewriting(lock_fd);
}

// Takes the run lock and, when a previous run was interrupted while the
// database was incomplete, undoes it. Answers 0 to go on, or the exit
// status.
int lock_and_recover(RunContext& ctx) {
  const SiteConfig& config = ctx.config;
  switch (take_run_lock(config.lock_path, &ctx.lock_fd)) {
    case LockResult::locked:
      break;
    case LockResult::in_use:
      std::fprintf(stderr, "Database '%s' is in use\n", config.database_path);
      return kNoDatabase;
    case LockResult::cannot_open:
      std::fprintf(stderr, "Cannot create '%s'  \n", config.lock_path);
      return kNoDatabase;
  }
  Journal journal;
  switch (read_mark(ctx.lock_fd, &journal)) {
    case MarkState::clear:
      return 0;
    case MarkState::unreadable:
      // Going on could copy a half-written database over the only backup.
      std::fprintf(stderr, "Error while reading file '%s'\n", config.lock_path);
      return kNoDatabase;
    case MarkState::marked:
      break;
  }
  if (!undo_from_journal(ctx.lock_fd, config, journal)) return kCopyFailed;
  std::fprintf(stderr, "Previous run was interrupted: '%s' restored from '%s'\n", config.database_path,
               config.backup_path);
  return 0;
}

// Closes fd when open, unchecked: for files whose content no longer counts.
void drop_fd(int* fd) {
  if (*fd >= 0) close_fd(*fd);
  *fd = -1;
}

// After a failure or a stop signal with the journal set: drops what is
// still buffered, then cuts the appended files back and restores the
// database. The mark stays set if that fails, so the next run tries
// again.
void undo_run(RunContext& ctx) {
  ctx.announcer.messages.used = 0;
  ctx.announcer.update_file.used = 0;
  drop_fd(&ctx.announcer.messages.fd);
  drop_fd(&ctx.announcer.update_file.fd);
  drop_fd(&ctx.database_fd);
  drop_fd(&ctx.backup_fd);
  undo_from_journal(ctx.lock_fd, ctx.config, ctx.journal);
}

// Opens the backup, the update file and, once the journal is set, the
// database for rewriting, so that nothing before can cost the database.
// Answers 0 or the exit status.
int open_loop_files(RunContext& ctx) {
  const SiteConfig& config = ctx.config;
  ctx.backup_fd = open_regular(config.backup_path, O_RDONLY, 0, Links::refuse);
  if (ctx.backup_fd < 0) {
    std::fprintf(stderr, "Cannot open '%s'     \n", config.backup_path);
    return kNoBackup;
  }

  const char* update_path = ctx.options.update_file;
  if (update_path[0] != '\0') {
    // Named by the operator, so it may be a symbolic link.
    if (!open_appended(update_path, Links::follow, update_buffer, sizeof update_buffer,
                       &ctx.announcer.update_file, &ctx.update_file_created)) {
      std::fprintf(stderr, "Cannot open '%s'     \n", update_path);
      return kNoUpdateFile;
    }
    if (update_file_is_database_file(ctx)) {
      std::fprintf(stderr, "Update file '%s' is a database file\n", update_path);
      return kNoUpdateFile;
    }
  }

  // The journal: the backup as copied, and the lengths of the appended
  // files before anything is appended, flushed to disk with the mark
  // before the database is opened.
  Journal& journal = ctx.journal;
  journal = Journal{};
  journal.has_backup = identify_file(ctx.backup_fd, &journal.backup);
  bool journaled =
      journal.has_backup &&
      journal_appended_file(&journal, config.update_message_path, ctx.announcer.messages.fd) &&
      (update_path[0] == '\0' || journal_appended_file(&journal, update_path, ctx.announcer.update_file.fd));
  if (!journaled || !mark_rewriting(ctx.lock_fd, journal)) {
    std::fprintf(stderr, "Error while writting file '%s'\n", config.lock_path);
    // A mark that reached the file but not the disk must not outlive this
    // run: the next one would restore the backup over later changes.
    clear_rewriting(ctx.lock_fd);
    return kNoDatabase;
  }
  // Written over from its start and cut to length at the end.
  ctx.database_fd = open_regular(config.database_path, O_WRONLY | O_CREAT, 0666, Links::refuse);
  if (ctx.database_fd < 0) {
    std::fprintf(stderr, "Cannot open '%s'     \n", config.database_path);
    clear_rewriting(ctx.lock_fd);  // the database was not touched
    return kNoDatabase;
  }
  return 0;
}

// Writes out, flushes to disk and closes an appended file; false on any
// failure.
bool commit_appended(OutputBuffer& out) {
  bool ok = flush_output(out) && sync_fd(out.fd);
  ok = close_fd(out.fd) && ok;
  out.fd = -1;
  return ok;
}

// The commit: the announcements reach the disk first, then the database
// is cut to its new length, flushed and closed. Answers nullptr, or the
// path of the file that failed.
const char* commit_files(RunContext& ctx) {
  const SiteConfig& config = ctx.config;
  Announcer& announcer = ctx.announcer;
  if (announcer.update_file.fd >= 0) {
    // A new update file's name must survive a power cut as well.
    if (!commit_appended(announcer.update_file) ||
        (ctx.update_file_created && !sync_parent_directory(ctx.options.update_file))) {
      return ctx.options.update_file;
    }
  }
  if (!commit_appended(announcer.messages)) return config.update_message_path;
  drop_fd(&ctx.backup_fd);  // read-only: its close cannot lose data
  bool ok =
      ftruncate(ctx.database_fd, static_cast<off_t>(ctx.database_length)) == 0 && sync_fd(ctx.database_fd);
  ok = close_fd(ctx.database_fd) && ok;
  ctx.database_fd = -1;
  return ok ? nullptr : config.database_path;
}

// The path of the file whose write failed in the record loop.
const char* failed_write_path(const RunContext& ctx) {
  if (ctx.announcer.messages.failed) return ctx.config.update_message_path;
  if (ctx.announcer.update_file.failed) return ctx.options.update_file;
  return ctx.config.database_path;
}

[[noreturn]] void undo_and_end_by_signal(RunContext& ctx) {
  undo_run(ctx);
  end_by_signal(stop_signal());
}

// Runs the record loop and commits its files; on any failure undoes the
// run. Answers 0 or the exit status.
int rewrite_database(RunContext& ctx) {
  switch (run_record_loop(ctx)) {
    case LoopResult::done:
      break;
    case LoopResult::stopped:
      undo_and_end_by_signal(ctx);
    case LoopResult::read_error:
      std::fprintf(stderr, "Error while reading file '%s'\n", ctx.config.backup_path);
      undo_run(ctx);
      return kNoBackup;
    case LoopResult::write_error:
      std::fprintf(stderr, "Error while writting file '%s'\n", failed_write_path(ctx));
      undo_run(ctx);
      return kFailure;
  }
  if (const char* failed = commit_files(ctx); failed != nullptr) {
    std::fprintf(stderr, "Error while writting file '%s'\n", failed);
    undo_run(ctx);
    return kFailure;
  }
  if (stop_signal() != 0) undo_and_end_by_signal(ctx);
  // Past this point the run is committed and completes whatever arrives.
  if (!clear_rewriting(ctx.lock_fd)) {
    std::fprintf(stderr, "Error while writting file '%s'\n", ctx.config.lock_path);
    return kFailure;
  }
  return 0;
}

}  // namespace

int run_kestol(int argc, char** argv) {
  open_standard_descriptors();
  install_stop_handlers();
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
  if (int status = check_folders(config); status != 0) return status;

  bool created = false;
  if (!open_appended(config.update_message_path, Links::refuse, messages_buffer, sizeof messages_buffer,
                     &ctx.announcer.messages, &created)) {
    std::fprintf(stderr, "Cannot create '%s'  \n", config.update_message_path);
    return kFailure;
  }
  if (int status = lock_and_recover(ctx); status != 0) return status;
  if (stop_signal() != 0) end_by_signal(stop_signal());

  std::fprintf(stderr, "%s - Saves WP.SYS file into WP.OLD file    \n\n", stamp_date(std::time(nullptr)));
  flush_standard_error();  // the copy of a large database takes a while
  switch (copy_file(config.database_path, config.backup_path)) {
    case CopyResult::copied:
      break;
    case CopyResult::stopped:
      end_by_signal(stop_signal());
    case CopyResult::failed:
    case CopyResult::same_file:
      return kCopyFailed;
  }
  // Nothing is touched yet: a stop signal ends the run here.
  if (stop_signal() != 0) end_by_signal(stop_signal());
  if (int status = open_loop_files(ctx); status != 0) return status;
  if (int status = rewrite_database(ctx); status != 0) return status;

  std::fprintf(stderr, "\rRecord %ld\n\n", static_cast<long>(ctx.counters.total));
  flush_standard_error();  // before the summary, so a shared log keeps the order
  write_summary(ctx);
  return kOk;
}
