// The run lock and the recovery of an interrupted run.
#include "run/recovery.h"

#include <fcntl.h>

#include <cstdio>
#include <cstring>

#include "files/copy_file.h"
#include "files/generations.h"
#include "files/journal.h"
#include "files/run_lock.h"
#include "files/undo.h"
#include "util/fd_io.h"
#include "util/join_text.h"
#include "util/system_calls.h"

namespace {

// The path an operator knows a journaled file by: mess.wp's own, the
// database's folder followed by the path the journal holds, or its real
// path when it holds none.
void journaled_path(const RunContext& ctx, const AppendedFile& file, char (&shown)[kRealPathSize]) {
  if (file.legacy) {
    join_text(shown, sizeof shown, {file.path});
  } else if (std::strcmp(file.path, kMessagesName) == 0) {
    join_text(shown, sizeof shown, {ctx.config.update_message_path});
  } else if (file.path[0] == '\0') {
    join_text(shown, sizeof shown, {file.real});
  } else {
    join_text(shown, sizeof shown, {ctx.config.folder_path, file.path});
  }
}

// The backup an interrupted run made: wp.new, or wp.old for a run before
// backup generations.
const char* backup_name(const Journal& journal) { return journal.keep >= 0 ? kNewBackupName : kBackupName; }
const char* backup_path(const RunContext& ctx, const Journal& journal) {
  return journal.keep >= 0 ? ctx.config.new_backup_path : ctx.config.backup_path;
}

// Why the interrupted run cannot be undone safely: one message per cause.
void write_undo_problems(const RunContext& ctx, const Journal& journal, const UndoCheck& check) {
  const SiteConfig& config = ctx.config;
  if (check.backup != UndoProblem::none) {
    write_failure({Failure::cannot_restore, config.database_path, backup_path(ctx, journal)});
    write_failure({check.backup == UndoProblem::missing ? Failure::backup_gone : Failure::backup_changed,
                   backup_path(ctx, journal), config.database_path});
  }
  for (int i = 0; i < journal.count; ++i) {
    if (check.file[i] == UndoProblem::none) continue;
    char shown[kRealPathSize];
    journaled_path(ctx, journal.files[i], shown);
    write_failure(
        {check.file[i] == UndoProblem::missing ? Failure::appended_file_gone : Failure::appended_file_changed,
         shown, config.database_path});
  }
}

// What was done, after the undo worked.
void write_undone(const RunContext& ctx, const Journal& journal, const UndoCheck& check, bool forced) {
  const SiteConfig& config = ctx.config;
  for (int i = 0; forced && i < journal.count; ++i) {
    if (check.file[i] == UndoProblem::none) continue;
    char shown[kRealPathSize];
    journaled_path(ctx, journal.files[i], shown);
    std::fprintf(stderr,
                 "'%s' was left as it is: what the interrupted run appended to it is appended again by the "
                 "next run\n",
                 shown);
  }
  const char* backup = backup_path(ctx, journal);
  if (check.backup == UndoProblem::missing) {
    std::fprintf(stderr,
                 "'%s' was kept as the interrupted run left it: '%s' is gone; it may hold records twice\n",
                 config.database_path, backup);
  } else if (forced) {
    std::fprintf(stderr, "'%s' restored from '%s'\n", config.database_path, backup);
  } else {
    std::fprintf(stderr, "Previous run was interrupted: '%s' restored from '%s'\n", config.database_path,
                 backup);
  }
}

// Finishes a run that was interrupted after its commit: the database is
// complete; what is left is the rotation of the generations.
Failed finish_committed_run(RunContext& ctx, const Journal& journal) {
  const SiteConfig& config = ctx.config;
  if (!rotate_generations(ctx.folder.fd, journal.keep))
    return {Failure::undo_write_failed, config.backup_path};
  sys().unlinkat(ctx.folder.fd, kAddedName, 0);
  if (!clear_rewriting(ctx.lock_fd)) return {Failure::undo_write_failed, config.lock_path};
  std::fprintf(stderr, "Previous run was interrupted after its commit: '%s' completed\n",
               config.database_path);
  return {};
}

Failed undo_interrupted_run(RunContext& ctx, const Journal& journal, bool forced) {
  const SiteConfig& config = ctx.config;
  if (journal.committed) return finish_committed_run(ctx, journal);
  UndoCheck check;
  check_undo(ctx.folder, backup_name(journal), journal, ctx.strict, &check);
  Failed failed;
  int index = 0;
  if (!forced && !undo_is_safe(check)) {
    write_undo_problems(ctx, journal, check);
    failed = {Failure::interrupted_run_not_undone};
  } else if (!cut_files(journal, check, &index)) {
    journaled_path(ctx, journal.files[index], ctx.shown);
    failed = {Failure::undo_write_failed, ctx.shown};
  } else if (check.backup != UndoProblem::missing &&  // forced: kept as it is
             !restore_database(check.backup_fd, ctx.folder.fd, kDatabaseName, journal.restoring)) {
    failed = {Failure::cannot_restore, config.database_path, backup_path(ctx, journal)};
  } else if (journal.has_appended && !put_back_appended(ctx.folder.fd, kAddedName, kDatabaseName,
                                                        journal.appended_from, journal.appended_to)) {
    failed = {Failure::undo_write_failed, config.database_path};
  } else if ((journal.keep >= 0 && !remove_file(ctx.folder.fd, kNewBackupName)) ||
             !remove_file(ctx.folder.fd, kAddedName)) {
    failed = {Failure::undo_write_failed, config.new_backup_path};
  } else if (!clear_rewriting(ctx.lock_fd)) {
    failed = {Failure::undo_write_failed, config.lock_path};
  }
  close_undo(&check);
  if (!failed) write_undone(ctx, journal, check, forced);
  return failed;
}

// Takes the database's own locks, a flock and a record lock over the whole
// file, so that a writer of the larger system that takes either waits
// for the run; a database held by one is in use. A database that is not
// there (yet) has nothing to lock.
Failed lock_database(RunContext& ctx) {
  ctx.database_lock_fd = open_regular_at(ctx.folder.fd, kDatabaseName, O_RDWR, 0, Links::refuse);
  if (ctx.database_lock_fd < 0) return {};
  switch (lock_file(ctx.database_lock_fd)) {
    case LockResult::locked:
      return {};
    case LockResult::in_use:
      return {Failure::database_in_use, ctx.config.database_path};
    case LockResult::cannot_open:
      break;
  }
  return {Failure::database_in_use, ctx.config.database_path};
}

}  // namespace

Failed lock_and_recover(RunContext& ctx, bool forced) {
  const SiteConfig& config = ctx.config;
  switch (take_run_lock(ctx.folder.fd, kLockName, &ctx.lock_fd)) {
    case LockResult::locked:
      break;
    case LockResult::in_use:
      return {Failure::database_in_use, config.database_path};
    case LockResult::cannot_open:
      return {Failure::no_lock_file, config.lock_path};
  }
  if (Failed f = lock_database(ctx)) return f;
  Journal& journal = ctx.journal;  // free until the run sets its own
  switch (read_mark(ctx.lock_fd, &journal)) {
    case MarkState::clear:
      if (forced) std::fprintf(stderr, "No interrupted run to recover in '%s'\n", config.folder_path);
      return {};
    case MarkState::unreadable:
      // Going on could copy a half-written database over the only backup.
      return {Failure::journal_unreadable, config.lock_path};
    case MarkState::marked:
      break;
  }
  return undo_interrupted_run(ctx, journal, forced);
}

const char* next_run_source(int folder, bool* interrupted) {
  int lock = open_regular_at(folder, kLockName, O_RDONLY, 0, Links::refuse);
  Journal journal;
  // A run interrupted after its commit left a complete database.
  *interrupted = lock >= 0 && read_mark(lock, &journal) == MarkState::marked && !journal.committed;
  if (lock >= 0) close_fd(lock);
  return *interrupted ? backup_name(journal) : kDatabaseName;
}
