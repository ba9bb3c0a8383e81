// Restoring a generation.
#include "run/restore.h"

#include <fcntl.h>

#include <cerrno>
#include <cstdio>

#include "files/copy_file.h"
#include "files/file_names.h"
#include "files/generations.h"
#include "files/journal.h"
#include "run/begin.h"
#include "run/commit.h"
#include "util/fd_io.h"
#include "util/join_text.h"
#include "util/quiet.h"
#include "util/stop_signal.h"

namespace {

// With no database to replace, the generation is copied beside it, as
// wp.new with the generation's mode and owner, and renamed into place
// whole: a kill leaves no part of one, only a wp.new that the next run
// replaces. Nothing is journaled, as there is nothing to undo.
Failed restore_missing_database(RunContext& ctx, const char* name) {
  const char* failed_name = nullptr;
  CopyResult copied = copy_file(ctx.folder.fd, name, kNewBackupName, nullptr, &failed_name);
  bool restored = copied == CopyResult::copied &&
                  rename_to_new_name(ctx.folder.fd, kNewBackupName, kDatabaseName) &&
                  sync_folder(ctx.folder.fd);
  if (restored) return {};
  int error = errno;
  remove_file(ctx.folder.fd, kNewBackupName);
  return fail_call(Failure::cannot_restore, error, ctx.config.database_path, ctx.shown);
}

// Over an existing database: journaled as a run, so that a failure, a
// stop signal or a kill before the commit puts the database back.
Failed restore_over_database(RunContext& ctx, int generation, int keep) {
  const SiteConfig& config = ctx.config;
  ctx.backup_made = true;
  Journal& journal = ctx.journal;
  journal = Journal{};
  journal.keep = keep;
  journal.restoring = true;
  ctx.backup_fd = open_regular_at(ctx.folder.fd, kNewBackupName, O_RDONLY, 0, Links::refuse);
  if (ctx.backup_fd < 0) return fail_call(Failure::no_backup_read, errno, config.new_backup_path);
  if (!identify_copy(ctx.backup_fd, &journal.backup) ||
      !write_journal(ctx.lock_fd, &journal, JournalEntry::begin)) {
    int error = errno;
    clear_journal(ctx.lock_fd);
    return fail_call(Failure::journal_unwritable, error, config.lock_path);
  }
  ctx.journal_set = true;
  if (!restore_database(generation, ctx.folder.fd, kDatabaseName, true)) {
    return fail_call(Failure::cannot_restore, errno, config.database_path, ctx.shown);
  }
  if (stop_signal() != 0) return fail(Failure::stopped);
  return commit_run(ctx);
}

}  // namespace

Failed restore_generation(RunContext& ctx) {
  const SiteConfig& config = ctx.config;
  char name[kGenerationNameSize];
  generation_name(ctx.options.restore, name);
  join_text(ctx.shown, sizeof ctx.shown, {config.folder_path, name});
  int generation = open_regular_at(ctx.folder.fd, name, O_RDONLY, 0, Links::refuse);
  if (generation < 0) return fail_call(Failure::no_generation, errno, ctx.shown);
  // Over the chain as it is, unless told otherwise: the oldest one falls
  // off as in a run, and no other is lost or renumbered.
  int keep = ctx.options.keep_given ? ctx.options.keep : kMostGenerations;
  while (keep > 0 && (ctx.generations >> keep & 1) == 0) --keep;
  // The database it replaces becomes a generation itself, by the backup
  // every run makes; a missing one has none.
  const char* failed_name = nullptr;
  CopyResult copied = copy_file(ctx.folder.fd, kDatabaseName, kNewBackupName, kBackupName, &failed_name);
  Failed failed = copied == CopyResult::no_source ? restore_missing_database(ctx, name)
                  : copied != CopyResult::copied  ? copy_failure(copied, config, failed_name)
                                                  : restore_over_database(ctx, generation, keep);
  close_fd(generation);  // read-only
  if (!failed && !quiet()) std::fprintf(stderr, "'%s' restored from '%s'\n", config.database_path, ctx.shown);
  return failed;
}
