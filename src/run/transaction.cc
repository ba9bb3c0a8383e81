// Opening, journaling, committing and undoing the files of a run.
#include "run/transaction.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "files/copy_file.h"
#include "files/generations.h"
#include "files/journal.h"
#include "files/path_walk.h"
#include "files/undo.h"
#include "run/progress.h"
#include "run/record_loop.h"
#include "util/fd_io.h"
#include "util/join_text.h"
#include "util/stop_signal.h"
#include "util/system_calls.h"

namespace {

// Opens an appended file, name in folder, into out, creating it if
// missing when create is set; false when it cannot be opened. Read as
// well: the journal identifies it by its last bytes.
bool open_appended(int folder, const char* name, bool create, char* buffer, std::size_t size,
                   OutputBuffer* out, bool* created) {
  int fd = open_regular_at(folder, name, O_RDWR | O_APPEND, 0, Links::refuse);
  *created = false;
  if (fd < 0 && errno == ENOENT && create) {
    fd = open_regular_at(folder, name, O_RDWR | O_APPEND | O_CREAT | O_EXCL, 0666, Links::refuse);
    *created = fd >= 0;
  }
  if (fd < 0) return false;
  *out = make_output(fd, buffer, size);
  return true;
}

// True when the open update file is the database, a backup, the spare,
// mess.wp, the lock file, init.srv or the result file: appending records to a file the
// run or the larger system reads or rewrites would corrupt it.
bool update_file_is_database_file(const RunContext& ctx) {
  struct stat update;
  if (sys().fstat(output_fd(ctx.announcer.update_file), &update) != 0) return false;
  struct stat other;
  char generations[kMostGenerations + 1][kGenerationNameSize];
  for (int n = 0; n <= kMostGenerations; ++n) generation_name(n, generations[n]);
  const char* in_folder[] = {kDatabaseName, kNewBackupName, kAddedName, kSpareName};
  for (const char* name : in_folder) {
    if (sys().fstatat(ctx.folder.fd, name, &other, 0) == 0 && same_file(update, other)) return true;
  }
  for (const char* name : generations) {
    if (sys().fstatat(ctx.folder.fd, name, &other, 0) == 0 && same_file(update, other)) return true;
  }
  for (const char* name : {"init.srv", static_cast<const char*>(ctx.config.result_file_name)}) {
    if (sys().fstatat(AT_FDCWD, name, &other, 0) == 0 && same_file(update, other)) return true;
  }
  for (int fd : {ctx.backup_fd, output_fd(ctx.announcer.messages), ctx.lock_fd}) {
    if (sys().fstat(fd, &other) == 0 && same_file(update, other)) return true;
  }
  return false;
}

// The name of one of the run's own files in the database's folder.
bool is_database_name(const char* name) {
  for (const char* own : {kDatabaseName, kNewBackupName, kAddedName, kSpareName, kMessagesName, kLockName}) {
    if (std::strcmp(name, own) == 0) return true;
  }
  for (int n = 0; n <= kMostGenerations; ++n) {
    char generation[kGenerationNameSize];
    generation_name(n, generation);
    if (std::strcmp(name, generation) == 0) return true;
  }
  return false;
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

// Closes fd when open, unchecked: for files whose content no longer counts.
void drop_fd(int* fd) {
  if (*fd >= 0) close_fd(*fd);
  *fd = -1;
}

// Writes out, flushes to disk and closes an appended file; false on any
// failure. *kept is a second descriptor of it, which lets an undo cut it
// back after that.
bool commit_appended(OutputBuffer& out, int* kept) {
  *kept = sys().duplicate(output_fd(out));
  bool ok = *kept >= 0 && flush_output(out) && sync_fd(output_fd(out));
  return close_output(out) && ok;
}

// Records the larger system appended to the database during the run (it
// grew past the backup's length) follow the rewritten records, carried as
// they are: they are not in the backup, so this run has not read them, and
// the next run reviews them. They are kept in wp.add first, and the
// journal says so, so that an undo or a crash puts them back; a later
// append while they move is taken along too.
bool carry_appended_records(RunContext& ctx) {
  const std::int64_t from = ctx.journal.backup.length;
  std::int64_t carried = from;  // the database's bytes kept so far
  int added = -1;
  bool ok = true;
  for (int round = 0; ok && round < 8; ++round) {
    struct stat st;
    if (sys().fstat(ctx.database_fd, &st) != 0) return false;
    if (st.st_size <= carried) break;
    if (added < 0) {
      ok = remove_file(ctx.folder.fd, kAddedName);
      added = ok ? open_regular_at(ctx.folder.fd, kAddedName, O_RDWR | O_CREAT | O_EXCL, 0600, Links::refuse)
                 : -1;
      ok = added >= 0 && sync_folder(ctx.folder.fd);
    }
    std::int64_t grown = st.st_size - carried;
    ok = ok &&
         copy_range(ctx.database_fd, static_cast<off_t>(carried), added, static_cast<off_t>(carried - from),
                    grown) &&
         sync_fd(added) && note_appended(ctx.lock_fd, &ctx.journal, from, st.st_size) &&
         copy_range(added, static_cast<off_t>(carried - from), ctx.database_fd,
                    static_cast<off_t>(ctx.database_length), grown);
    ctx.database_length += grown;
    carried = st.st_size;
  }
  if (added >= 0) ok = close_fd(added) && ok;
  return ok;
}

// The commit: the announcements reach the disk first, then where they end
// reaches the journal, then the database is cut to its new length,
// flushed and closed. Answers the path of the file that failed, or
// nullptr.
const char* commit_files(RunContext& ctx) {
  const SiteConfig& config = ctx.config;
  Announcer& announcer = ctx.announcer;
  if (output_fd(announcer.update_file) >= 0) {
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
  if (!carry_appended_records(ctx)) return config.database_path;
  bool ok = sys().ftruncate(ctx.database_fd, static_cast<off_t>(ctx.database_length)) == 0 &&
            sync_fd(ctx.database_fd);
  ok = close_fd(ctx.database_fd) && ok;
  ctx.database_fd = -1;
  return ok ? nullptr : config.database_path;
}

// The path of the file whose write failed in the record loop.
const char* failed_write_path(const RunContext& ctx) {
  if (output_failed(ctx.announcer.messages)) return ctx.config.update_message_path;
  if (output_failed(ctx.announcer.update_file)) return ctx.options.update_file;
  return ctx.config.database_path;
}

bool announcer_failed(const void* target) {
  return announcement_failed(*static_cast<const Announcer*>(target));
}

}  // namespace

Failed open_messages_file(RunContext& ctx, bool create, bool* opened) {
  bool created = false;
  *opened = open_appended(ctx.folder.fd, kMessagesName, create, ctx.messages_buffer,
                          sizeof ctx.messages_buffer, &ctx.announcer.messages, &created);
  if (*opened || (!create && errno == ENOENT)) return {};
  return {Failure::no_messages_file, ctx.config.update_message_path};
}

Failed open_loop_files(RunContext& ctx) {
  const SiteConfig& config = ctx.config;
  ctx.backup_fd = open_regular_at(ctx.folder.fd, kNewBackupName, O_RDONLY, 0, Links::refuse);
  if (ctx.backup_fd < 0) return {Failure::no_backup_read, config.new_backup_path};

  const char* update_path = ctx.options.update_file;
  bool has_update_file = update_path[0] != '\0';
  if (has_update_file) {
    // One of the run's own names in the database's folder is refused by its
    // name before it could be created; another name of one of those files
    // by its identity once open.
    if (ctx.update_folder.fd >= 0 && std::strcmp(ctx.update_folder.real, ctx.folder.real) == 0 &&
        is_database_name(ctx.update_name)) {
      return {Failure::update_file_is_database_file, update_path};
    }
    // Named by the operator, so its last part may be a symbolic link,
    // which open_folders has followed.
    if (ctx.update_folder.fd < 0 ||
        !open_appended(ctx.update_folder.fd, ctx.update_name, true, ctx.update_buffer,
                       sizeof ctx.update_buffer, &ctx.announcer.update_file, &ctx.update_file_created)) {
      return {Failure::no_update_file, update_path};
    }
    if (update_file_is_database_file(ctx)) return {Failure::update_file_is_database_file, update_path};
  }

  // The journal: the backup as copied, and the lengths of the appended
  // files before anything is appended, flushed to disk with the mark
  // before the database is opened.
  Journal& journal = ctx.journal;
  journal = Journal{};
  journal.keep = ctx.options.keep;
  journal.has_backup = identify_copy(ctx.backup_fd, &journal.backup);
  bool journaled =
      journal.has_backup && journal_file(ctx, ctx.folder, kMessagesName, output_fd(ctx.announcer.messages)) &&
      (!has_update_file ||
       journal_file(ctx, ctx.update_folder, ctx.update_name, output_fd(ctx.announcer.update_file)));
  if (!journaled || !mark_rewriting(ctx.lock_fd, &journal)) {
    // A mark that reached the file but not the disk must not outlive this
    // run: the next one would restore the backup over later changes.
    clear_rewriting(ctx.lock_fd);
    return {Failure::journal_unwritable, config.lock_path};
  }
  ctx.in_transaction = true;
  set_first_write_hook(ctx.announcer.messages, journal_first_messages, &ctx);
  set_first_write_hook(ctx.announcer.update_file, journal_first_updates, &ctx);
  // Written over from its start and cut to length at the end.
  // Read as well: records others append are carried from it.
  ctx.database_fd = open_regular_at(ctx.folder.fd, kDatabaseName, O_RDWR | O_CREAT, 0666, Links::refuse);
  if (ctx.database_fd < 0) {
    ctx.in_transaction = false;
    clear_rewriting(ctx.lock_fd);  // the database was not touched
    return {Failure::no_database_write, config.database_path};
  }
  return {};
}

Failed rewrite_database(RunContext& ctx) {
  ctx.announcer.update_lines = &ctx.counters.update_lines;
  const ReviewPass pass = {ctx.options.route_check,
                           ctx.config.update_threshold,
                           ctx.config.kill_threshold,
                           announcement_sink(ctx.announcer),
                           announcer_failed,
                           &ctx.announcer,
                           nullptr,
                           nullptr,
                           true};
  switch (review_records(ctx.backup_fd, ctx.database_fd, pass, ctx.block, &ctx.counters, &ctx.duplicates,
                         &ctx.database_length)) {
    case LoopResult::done:
      break;
    case LoopResult::stopped:
      return {Failure::stopped};
    case LoopResult::read_error:
      return {Failure::backup_read_failed, ctx.config.new_backup_path};
    case LoopResult::write_error:
      return {Failure::write_failed, failed_write_path(ctx)};
  }
  if (ctx.options.max_drop >= 0) {
    // A run that would drop more than the limit is undone whole.
    std::int64_t read = ctx.counters.record_index;
    std::int64_t dropped = read - ctx.database_length / static_cast<std::int64_t>(kRecordSize);
    if (dropped * 100 > static_cast<std::int64_t>(ctx.options.max_drop) * read) {
      write_records_reviewed(ctx.counters.total);  // ends the progress line, as a run does
      std::snprintf(ctx.numbers[0], sizeof ctx.numbers[0], "%ld", static_cast<long>(dropped));
      std::snprintf(ctx.numbers[1], sizeof ctx.numbers[1], "%ld", static_cast<long>(read));
      return {Failure::too_many_drops, ctx.numbers[0], ctx.numbers[1]};
    }
  }
  if (const char* failed = commit_files(ctx); failed != nullptr) return {Failure::write_failed, failed};
  if (stop_signal() != 0) return {Failure::stopped};
  return commit_run(ctx);
}

Failed commit_run(RunContext& ctx) {
  // Past this point the run is committed and completes whatever arrives:
  // the backup becomes wp.old, the older ones move up.
  if (!note_committed(ctx.lock_fd, &ctx.journal)) return {Failure::write_failed, ctx.config.lock_path};
  ctx.in_transaction = false;
  ctx.backup_made = false;  // the next run finishes the rotation if this one cannot
  drop_fd(&ctx.backup_fd);  // read-only
  if (!rotate_generations(ctx.folder.fd, ctx.options.keep) || !remove_file(ctx.folder.fd, kAddedName)) {
    return {Failure::journal_not_cleared, ctx.config.backup_path};
  }
  if (!clear_rewriting(ctx.lock_fd)) return {Failure::journal_not_cleared, ctx.config.lock_path};
  return {};
}

void undo_run(RunContext& ctx) {
  bool undone = true;
  OutputBuffer* appended[] = {&ctx.announcer.messages, &ctx.announcer.update_file};
  const char* paths[] = {ctx.config.update_message_path, ctx.options.update_file};
  for (int i = 0; i < kMaxAppendedFiles; ++i) {
    OutputBuffer& out = *appended[i];
    drop_output(out);
    int fd = output_fd(out) >= 0 ? output_fd(out) : ctx.committed_fd[i];
    if (fd >= 0 && output_written(out) && !cut_back(fd, ctx.journal.files[i].length)) {
      write_failure({Failure::undo_write_failed, paths[i]});
      undone = false;
    }
    release_output(out);
    drop_fd(&ctx.committed_fd[i]);
  }
  drop_fd(&ctx.database_fd);
  // Over the database from its start; what others appended stays after it,
  // but not what a restore wrote past the backup's length.
  if (!restore_database(ctx.backup_fd, ctx.folder.fd, kDatabaseName, ctx.journal.restoring)) {
    write_failure({Failure::cannot_restore, ctx.config.database_path, ctx.config.new_backup_path});
    undone = false;
  } else if (ctx.journal.has_appended &&
             !put_back_appended(ctx.folder.fd, kAddedName, kDatabaseName, ctx.journal.appended_from,
                                ctx.journal.appended_to)) {
    write_failure({Failure::undo_write_failed, ctx.config.database_path});
    undone = false;
  }
  drop_fd(&ctx.backup_fd);
  // The generations are as they were: the backup goes.
  undone = undone && remove_file(ctx.folder.fd, kNewBackupName) && remove_file(ctx.folder.fd, kAddedName);
  ctx.backup_made = !undone;  // kept for the next run's undo
  if (undone) clear_rewriting(ctx.lock_fd);
  ctx.in_transaction = false;
}

void close_run_files(RunContext& ctx) {
  // Read-only, or already closed and checked: nothing left to lose.
  for (int* fd : {&ctx.backup_fd, &ctx.committed_fd[0], &ctx.committed_fd[1]}) drop_fd(fd);
}

Failed copy_failure(CopyResult result, const SiteConfig& config) {
  switch (result) {
    case CopyResult::no_source:
      return {Failure::no_database, config.database_path};
    case CopyResult::no_destination:
      return {Failure::no_backup_created, config.new_backup_path};
    case CopyResult::model_refused:
      return {Failure::no_backup_created, config.backup_path};
    case CopyResult::same_file:
      return {Failure::backup_is_database, config.backup_path};
    case CopyResult::failed:
      return {Failure::copy_failed};  // silent: the incomplete backup is removed
    case CopyResult::copied:
    case CopyResult::stopped:
      break;
  }
  return {};
}

namespace {

// With no database to replace, the generation is copied beside it, as
// wp.new, and renamed into place whole: a kill leaves no part of one, only
// a wp.new that the next run replaces. Nothing is journaled, as there is
// nothing to undo.
Failed restore_missing_database(RunContext& ctx, int generation) {
  const SiteConfig& config = ctx.config;
  bool restored = remove_file(ctx.folder.fd, kNewBackupName) &&
                  restore_database(generation, ctx.folder.fd, kNewBackupName, true) &&
                  sys().renameat(ctx.folder.fd, kNewBackupName, ctx.folder.fd, kDatabaseName) == 0 &&
                  sync_folder(ctx.folder.fd);
  close_fd(generation);  // read-only
  if (!restored) {
    remove_file(ctx.folder.fd, kNewBackupName);
    return {Failure::cannot_restore, config.database_path, ctx.shown};
  }
  std::fprintf(stderr, "'%s' restored from '%s'\n", config.database_path, ctx.shown);
  return {};
}

}  // namespace

Failed restore_generation(RunContext& ctx) {
  const SiteConfig& config = ctx.config;
  char name[kGenerationNameSize];
  generation_name(ctx.options.restore, name);
  join_text(ctx.shown, sizeof ctx.shown, {config.folder_path, name});
  int generation = open_regular_at(ctx.folder.fd, name, O_RDONLY, 0, Links::refuse);
  if (generation < 0) return {Failure::no_generation, ctx.shown};
  // The database it replaces becomes a generation itself, by the backup
  // every run makes; a missing one has none.
  CopyResult copied = copy_file(ctx.folder.fd, kDatabaseName, kNewBackupName, kBackupName, kSpareName);
  if (copied == CopyResult::no_source) return restore_missing_database(ctx, generation);
  Failed failed = copied == CopyResult::stopped ? Failed{Failure::stopped} : copy_failure(copied, config);
  if (!failed) {
    ctx.backup_made = true;
    ctx.backup_fd = open_regular_at(ctx.folder.fd, kNewBackupName, O_RDONLY, 0, Links::refuse);
    if (ctx.backup_fd < 0) failed = {Failure::no_backup_read, config.new_backup_path};
  }
  if (!failed) {
    Journal& journal = ctx.journal;
    journal = Journal{};
    journal.keep = ctx.options.keep;
    journal.restoring = true;
    journal.has_backup = identify_copy(ctx.backup_fd, &journal.backup);
    if (!journal.has_backup || !mark_rewriting(ctx.lock_fd, &journal)) {
      clear_rewriting(ctx.lock_fd);
      failed = {Failure::journal_unwritable, config.lock_path};
    }
  }
  if (!failed) {
    ctx.in_transaction = true;
    if (!restore_database(generation, ctx.folder.fd, kDatabaseName, true)) {
      failed = {Failure::cannot_restore, config.database_path, ctx.shown};
    }
  }
  close_fd(generation);  // read-only
  // A stop signal before the commit undoes the restore, as it undoes a run.
  if (!failed && stop_signal() != 0) failed = {Failure::stopped};
  if (!failed) failed = commit_run(ctx);
  if (!failed) std::fprintf(stderr, "'%s' restored from '%s'\n", config.database_path, ctx.shown);
  return failed;
}
