// The run sequence: banner, start time, configuration, the folders of the
// run's files, run lock, backup copy, file opens, the record loop, the
// commit of every file and the summary. The run is one transaction: from
// the moment the journal is set until it is cleared, any failure or stop
// signal cuts the appended files back and restores the database from the
// backup, and a run that was killed in that window is undone the same way
// by the next one.
#include "run/run.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <initializer_list>

#include "files/copy_file.h"
#include "files/journal.h"
#include "files/path_walk.h"
#include "files/run_lock.h"
#include "files/safe_folder.h"
#include "files/undo.h"
#include "run/command_line.h"
#include "run/messages.h"
#include "run/progress.h"
#include "run/record_loop.h"
#include "run/run_context.h"
#include "run/summary.h"
#include "util/date_stamp.h"
#include "util/fd_io.h"
#include "util/join_text.h"
#include "util/stop_signal.h"
#include "util/system_calls.h"

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

void write_insecure(const char* folder) {
  std::fprintf(stderr, "Insecure directory '%s': run kestol as its owner\n", folder);
}

// Opens init.srv into *fd (-1 when it cannot be opened). As root, the
// working directory, every folder on the way to it and through the links
// to init.srv, and init.srv itself must be root's alone: anyone else who
// could change it could point the run at any database of the machine.
// Answers 0 or the exit status.
int open_init(const RunContext& ctx, int* fd) {
  if (!ctx.strict) {
    *fd = open_init_file();
    return 0;
  }
  char shown[kRealPathSize];
  OpenFolder here;
  WalkResult r = open_folder(".", {true, true}, &here, shown);
  close_folder(&here);
  OpenFolder holder;
  char name[kNameSize];
  if (r == WalkResult::opened) r = open_file_folder("init.srv", {true, true}, &holder, name, shown);
  if (r != WalkResult::opened) {
    write_insecure(shown);
    return kNoDatabase;
  }
  struct stat st;
  *fd = open_regular_at(holder.fd, name, O_RDONLY, 0, Links::refuse, &st);
  close_folder(&holder);
  if (*fd >= 0 && (st.st_uid != 0 || writable_by_others(*fd, st, true))) {
    close_fd(*fd);
    *fd = -1;
    std::fprintf(stderr, "Insecure file 'init.srv': run kestol as its owner\n");
    return kNoDatabase;
  }
  return 0;
}

// Opens the database's folder, and the update file's, once: every file of
// the run is then opened from them by name, so that replacing a folder or
// a link later changes nothing the run touches. As root, every folder on
// the way must be root's alone (the working directory was checked with
// init.srv): anyone else who could write there could point the run's
// files at any file of the machine. Answers 0 or the exit status.
int open_folders(RunContext& ctx) {
  char shown[kRealPathSize];
  const WalkOptions options = {ctx.strict, true};
  // A folder that cannot be opened by a run that is not root's shows as
  // the failed open of its first file.
  if (open_folder(ctx.config.folder_path, options, &ctx.folder, shown) == WalkResult::insecure) {
    write_insecure(shown);
    return kNoDatabase;
  }
  if (ctx.options.update_file[0] != '\0' &&
      open_file_folder(ctx.options.update_file, options, &ctx.update_folder, ctx.update_name, shown) ==
          WalkResult::insecure) {
    write_insecure(shown);
    return kNoUpdateFile;
  }
  return 0;
}

// Opens an appended file, name in folder, into out, creating it if
// missing when create is set; false when it cannot be opened. Read as
// well: the journal identifies it by its last bytes.
bool open_appended(int folder, const char* name, Links links, bool create, char* buffer, std::size_t size,
                   OutputBuffer* out, bool* created) {
  int fd = open_regular_at(folder, name, O_RDWR | O_APPEND, 0, links);
  *created = false;
  if (fd < 0 && errno == ENOENT && create) {
    fd = open_regular_at(folder, name, O_RDWR | O_APPEND | O_CREAT | O_EXCL, 0666, links);
    *created = fd >= 0;
  }
  if (fd < 0) return false;
  *out = OutputBuffer{};
  out->fd = fd;
  out->data = buffer;
  out->capacity = size;
  return true;
}

// True when the open update file is the database, the backup, mess.wp, the
// lock file, init.srv or the result file: appending records to a file the
// run or the larger system reads or rewrites would corrupt it.
bool update_file_is_database_file(const RunContext& ctx) {
  struct stat update;
  if (sys().fstat(ctx.announcer.update_file.fd, &update) != 0) return false;
  struct stat other;
  const struct {
    int folder;
    const char* name;
  } named[] = {
      {ctx.folder.fd, kDatabaseName}, {AT_FDCWD, "init.srv"}, {AT_FDCWD, ctx.config.result_file_name}};
  for (const auto& file : named) {
    if (sys().fstatat(file.folder, file.name, &other, 0) == 0 && same_file(update, other)) return true;
  }
  for (int fd : {ctx.backup_fd, ctx.announcer.messages.fd, ctx.lock_fd}) {
    if (sys().fstat(fd, &other) == 0 && same_file(update, other)) return true;
  }
  return false;
}

// The path an operator knows a journaled file by: mess.wp's own, or the
// database's folder followed by the path the journal holds.
void journaled_path(const RunContext& ctx, const Journal& journal, int index, char (&shown)[kRealPathSize]) {
  const AppendedFile& file = journal.files[index];
  if (file.legacy) {
    join_text(shown, sizeof shown, {file.path});
  } else if (std::strcmp(file.path, kMessagesName) == 0) {
    join_text(shown, sizeof shown, {ctx.config.update_message_path});
  } else {
    join_text(shown, sizeof shown, {ctx.config.folder_path, file.path});
  }
}

// Why an interrupted run cannot be undone safely, and what the operator
// can do: one message per cause.
void write_undo_problems(const RunContext& ctx, const Journal& journal, const UndoCheck& check) {
  const SiteConfig& config = ctx.config;
  if (check.backup != UndoProblem::none) {
    std::fprintf(stderr, "Cannot restore '%s' from '%s'\n", config.database_path, config.backup_path);
  }
  if (check.backup == UndoProblem::missing) {
    std::fprintf(stderr,
                 "Interrupted run: '%s' is gone; put the database as it was before that run back there "
                 "and run kestol --recover, or run kestol --recover to keep '%s' as that run left it\n",
                 config.backup_path, config.database_path);
  } else if (check.backup == UndoProblem::changed) {
    std::fprintf(stderr,
                 "Interrupted run: '%s' is not the backup it made; if it holds the database as it was "
                 "before that run, run kestol --recover\n",
                 config.backup_path);
  }
  for (int i = 0; i < journal.count; ++i) {
    if (check.file[i] == UndoProblem::none) continue;
    char shown[kRealPathSize];
    journaled_path(ctx, journal, i, shown);
    std::fprintf(stderr,
                 check.file[i] == UndoProblem::missing
                     ? "Interrupted run: '%s' cannot be found to take back what it appended; run kestol "
                       "--recover to restore '%s' and keep the file as it is\n"
                     : "Interrupted run: '%s' is not the file it appended to; run kestol --recover to "
                       "restore '%s' and keep the file as it is\n",
                 shown, config.database_path);
  }
}

// Undoes the interrupted run that journal describes: every file it
// appended to is cut back and the database restored from the backup, in
// that order, and the mark cleared only when all of that worked, so that
// otherwise the next run tries again. Only when every step is shown to be
// safe, unless forced (kestol --recover), which restores the backup
// whatever it is and leaves the files that cannot be cut as they are.
// Answers 0 or the exit status.
int undo_interrupted_run(RunContext& ctx, const Journal& journal, bool forced) {
  const SiteConfig& config = ctx.config;
  UndoCheck check;
  check_undo(ctx.folder, kBackupName, journal, ctx.strict, &check);
  if (!forced && !undo_is_safe(check)) {
    write_undo_problems(ctx, journal, check);
    close_undo(&check);
    return kCopyFailed;
  }
  int failed = 0;
  if (!cut_files(journal, check, &failed)) {
    char shown[kRealPathSize];
    journaled_path(ctx, journal, failed, shown);
    std::fprintf(stderr, "Error while writting file '%s'\n", shown);
    close_undo(&check);
    return kCopyFailed;
  }
  // Without a backup, kestol --recover keeps the database as the run left
  // it: records the run had rewritten may stand in it twice, none is lost.
  bool kept = check.backup == UndoProblem::missing;
  bool restored = kept || restore_database(check.backup_fd, ctx.folder.fd, kDatabaseName);
  close_undo(&check);
  if (!restored) {
    std::fprintf(stderr, "Cannot restore '%s' from '%s'\n", config.database_path, config.backup_path);
    return kCopyFailed;
  }
  if (!clear_rewriting(ctx.lock_fd)) {
    std::fprintf(stderr, "Error while writting file '%s'\n", config.lock_path);
    return kCopyFailed;
  }
  for (int i = 0; forced && i < journal.count; ++i) {
    if (check.file[i] == UndoProblem::none) continue;
    char shown[kRealPathSize];
    journaled_path(ctx, journal, i, shown);
    std::fprintf(stderr,
                 "'%s' was left as it is: what the interrupted run appended to it is appended again by the "
                 "next run\n",
                 shown);
  }
  if (kept) {
    std::fprintf(stderr,
                 "'%s' was kept as the interrupted run left it: '%s' is gone; it may hold records twice\n",
                 config.database_path, config.backup_path);
  } else if (forced) {
    std::fprintf(stderr, "'%s' restored from '%s'\n", config.database_path, config.backup_path);
  } else {
    std::fprintf(stderr, "Previous run was interrupted: '%s' restored from '%s'\n", config.database_path,
                 config.backup_path);
  }
  return 0;
}

// Takes the run lock and, when a previous run was interrupted while the
// database was incomplete, undoes it (forced: kestol --recover). Answers
// 0 to go on, or the exit status.
int lock_and_recover(RunContext& ctx, bool forced) {
  const SiteConfig& config = ctx.config;
  switch (take_run_lock(ctx.folder.fd, kLockName, &ctx.lock_fd)) {
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
      if (forced) std::fprintf(stderr, "No interrupted run to recover in '%s'\n", config.folder_path);
      return 0;
    case MarkState::unreadable:
      // Going on could copy a half-written database over the only backup.
      std::fprintf(stderr, "Error while reading file '%s'\n", config.lock_path);
      return kNoDatabase;
    case MarkState::marked:
      break;
  }
  return undo_interrupted_run(ctx, journal, forced);
}

// Closes fd when open, unchecked: for files whose content no longer counts.
void drop_fd(int* fd) {
  if (*fd >= 0) close_fd(*fd);
  *fd = -1;
}

// After a failure or a stop signal with the journal set: drops what is
// still buffered, cuts each appended file that was written back to its
// length before the run, and restores the database from the backup. The
// mark stays set if any of that fails, so the next run tries again.
void undo_run(RunContext& ctx) {
  bool undone = true;
  OutputBuffer* appended[] = {&ctx.announcer.messages, &ctx.announcer.update_file};
  const char* paths[] = {ctx.config.update_message_path, ctx.options.update_file};
  for (int i = 0; i < kMaxAppendedFiles; ++i) {
    OutputBuffer& out = *appended[i];
    out.used = 0;
    int fd = out.fd >= 0 ? out.fd : ctx.committed_fd[i];
    if (fd >= 0 && out.written && !cut_back(fd, ctx.journal.files[i].length)) {
      std::fprintf(stderr, "Error while writting file '%s'\n", paths[i]);
      undone = false;
    }
    drop_fd(&out.fd);
    drop_fd(&ctx.committed_fd[i]);
  }
  drop_fd(&ctx.database_fd);
  if (!restore_database(ctx.backup_fd, ctx.folder.fd, kDatabaseName)) {
    std::fprintf(stderr, "Cannot restore '%s' from '%s'\n", ctx.config.database_path, ctx.config.backup_path);
    undone = false;
  }
  drop_fd(&ctx.backup_fd);
  if (undone) clear_rewriting(ctx.lock_fd);
}

// Before the first bytes reach an appended file, the journal gets them:
// the proof that what follows the file's old length is the run's own.
bool journal_first_messages(void* target, const void* bytes, std::size_t size) {
  auto& ctx = *static_cast<RunContext*>(target);
  return note_first_write(ctx.lock_fd, &ctx.journal, 0, bytes, size);
}

bool journal_first_updates(void* target, const void* bytes, std::size_t size) {
  auto& ctx = *static_cast<RunContext*>(target);
  return note_first_write(ctx.lock_fd, &ctx.journal, 1, bytes, size);
}

// Records an appended file, name in the open folder, in the journal: by
// its real path, and by its path from the database's folder, so that a
// site moved or copied as a whole finds it again (left empty when that
// does not fit).
bool journal_file(RunContext& ctx, const OpenFolder& folder, const char* name, int fd) {
  char real[kRealPathSize];
  bool at_root = std::strcmp(folder.real, "/") == 0;
  char relative[kJournalPathSize];
  if (!join_text(real, sizeof real, {folder.real, at_root ? "" : "/", name})) return false;
  if (!relative_path(ctx.folder.real, real, relative, sizeof relative)) relative[0] = '\0';
  return journal_appended_file(&ctx.journal, relative, real, fd);
}

// Opens the backup, the update file and, once the journal is set, the
// database for rewriting, so that nothing before can cost the database.
// Answers 0 or the exit status.
int open_loop_files(RunContext& ctx) {
  const SiteConfig& config = ctx.config;
  ctx.backup_fd = open_regular_at(ctx.folder.fd, kBackupName, O_RDONLY, 0, Links::refuse);
  if (ctx.backup_fd < 0) {
    std::fprintf(stderr, "Cannot open '%s'     \n", config.backup_path);
    return kNoBackup;
  }

  const char* update_path = ctx.options.update_file;
  bool has_update_file = update_path[0] != '\0';
  if (has_update_file) {
    // Named by the operator, so its last part may be a symbolic link,
    // which open_folders has followed.
    if (ctx.update_folder.fd < 0 ||
        !open_appended(ctx.update_folder.fd, ctx.update_name, Links::refuse, true, update_buffer,
                       sizeof update_buffer, &ctx.announcer.update_file, &ctx.update_file_created)) {
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
  journal.has_backup = identify_copy(ctx.backup_fd, &journal.backup);
  bool journaled = journal.has_backup &&
                   journal_file(ctx, ctx.folder, kMessagesName, ctx.announcer.messages.fd) &&
                   (!has_update_file ||
                    journal_file(ctx, ctx.update_folder, ctx.update_name, ctx.announcer.update_file.fd));
  if (!journaled || !mark_rewriting(ctx.lock_fd, &journal)) {
    std::fprintf(stderr, "Error while writting file '%s'\n", config.lock_path);
    // A mark that reached the file but not the disk must not outlive this
    // run: the next one would restore the backup over later changes.
    clear_rewriting(ctx.lock_fd);
    return kNoDatabase;
  }
  ctx.announcer.messages.before_first_write = journal_first_messages;
  ctx.announcer.messages.target = &ctx;
  ctx.announcer.update_file.before_first_write = journal_first_updates;
  ctx.announcer.update_file.target = &ctx;
  // Written over from its start and cut to length at the end.
  ctx.database_fd = open_regular_at(ctx.folder.fd, kDatabaseName, O_WRONLY | O_CREAT, 0666, Links::refuse);
  if (ctx.database_fd < 0) {
    std::fprintf(stderr, "Cannot open '%s'     \n", config.database_path);
    clear_rewriting(ctx.lock_fd);  // the database was not touched
    return kNoDatabase;
  }
  return 0;
}

// Writes out, flushes to disk and closes an appended file; false on any
// failure. *kept is a second descriptor of it, which lets an undo cut it
// back after that.
bool commit_appended(OutputBuffer& out, int* kept) {
  *kept = sys().duplicate(out.fd);
  bool ok = *kept >= 0 && flush_output(out) && sync_fd(out.fd);
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
    if (!commit_appended(announcer.update_file, &ctx.committed_fd[1]) ||
        (ctx.update_file_created && !sync_folder(ctx.update_folder.fd))) {
      return ctx.options.update_file;
    }
  }
  if (!commit_appended(announcer.messages, &ctx.committed_fd[0])) return config.update_message_path;
  // Where the run's appends end: bytes after that are someone else's.
  std::int64_t ends[kMaxAppendedFiles] = {};
  for (int i = 0; i < ctx.journal.count; ++i) {
    struct stat st;
    if (sys().fstat(ctx.committed_fd[i], &st) != 0) return config.lock_path;
    ends[i] = st.st_size;
  }
  if (!note_ends(ctx.lock_fd, &ctx.journal, ends)) return config.lock_path;
  bool ok = sys().ftruncate(ctx.database_fd, static_cast<off_t>(ctx.database_length)) == 0 &&
            sync_fd(ctx.database_fd);
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
  bool recover = false;
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
    case CommandLineAction::recover:
      recover = true;
      break;
    case CommandLineAction::run:
      break;
  }

  write_banner();
  std::time_t now = sys().time(nullptr);
  // A 32-bit time_t cannot hold a time after 2038-01-19 03:14:07 UTC: the
  // clock reading then fails with -1, which is out of range too.
  if (now == static_cast<std::time_t>(-1) || now > INT32_MAX || now < INT32_MIN) {
    std::fputs("System time out of range\n", stderr);
    return kFailure;
  }
  ctx.start_time = static_cast<std::int32_t>(now);
  ctx.strict = ::geteuid() == 0;
  int init = -1;
  if (int status = open_init(ctx, &init); status != 0) return status;
  if (!read_site_config(init, ctx.start_time, ctx.options.upd_days, ctx.options.kill_days, &ctx.config)) {
    return kFailure;
  }
  if (!recover) write_settings(ctx.options);
  const SiteConfig& config = ctx.config;
  if (int status = open_folders(ctx); status != 0) return status;
  if (recover) return lock_and_recover(ctx, true);

  // A missing mess.wp is created only once an interrupted run has been
  // undone, so that the undo finds it missing as it was left.
  bool created = false;
  bool opened = open_appended(ctx.folder.fd, kMessagesName, Links::refuse, false, messages_buffer,
                              sizeof messages_buffer, &ctx.announcer.messages, &created);
  if (!opened && errno != ENOENT) {
    std::fprintf(stderr, "Cannot create '%s'  \n", config.update_message_path);
    return kFailure;
  }
  if (int status = lock_and_recover(ctx, false); status != 0) return status;
  if (!opened && !open_appended(ctx.folder.fd, kMessagesName, Links::refuse, true, messages_buffer,
                                sizeof messages_buffer, &ctx.announcer.messages, &created)) {
    std::fprintf(stderr, "Cannot create '%s'  \n", config.update_message_path);
    return kFailure;
  }
  if (stop_signal() != 0) end_by_signal(stop_signal());

  std::fprintf(stderr, "%s - Saves WP.SYS file into WP.OLD file    \n\n", stamp_date(sys().time(nullptr)));
  flush_standard_error();  // the copy of a large database takes a while
  switch (copy_file(ctx.folder.fd, kDatabaseName, kBackupName)) {
    case CopyResult::copied:
      break;
    case CopyResult::stopped:
      end_by_signal(stop_signal());
    case CopyResult::no_source:
      std::fprintf(stderr, "Cannot find %s\n", config.database_path);
      return kCopyFailed;
    case CopyResult::no_destination:
      std::fprintf(stderr, "Cannot create %s\n", config.backup_path);
      return kCopyFailed;
    case CopyResult::same_file:
      std::fprintf(stderr, "Backup '%s' is the database file\n", config.backup_path);
      return kCopyFailed;
    case CopyResult::failed:
      return kCopyFailed;  // silent: the incomplete backup is removed
  }
  // Nothing is touched yet: a stop signal ends the run here.
  if (stop_signal() != 0) end_by_signal(stop_signal());
  if (int status = open_loop_files(ctx); status != 0) return status;
  if (int status = rewrite_database(ctx); status != 0) return status;
  // Read-only, or already closed and checked: nothing left to lose.
  for (int* fd : {&ctx.backup_fd, &ctx.committed_fd[0], &ctx.committed_fd[1]}) drop_fd(fd);

  std::fprintf(stderr, "\rRecord %ld\n\n", static_cast<long>(ctx.counters.total));
  flush_standard_error();  // before the summary, so a shared log keeps the order
  write_summary(ctx);
  return kOk;
}
