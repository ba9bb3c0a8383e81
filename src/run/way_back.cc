// Settling a journal: undoing or completing the run it covers.
#include "run/way_back.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "files/append_spool.h"
#include "files/copy_file.h"
#include "files/file_names.h"
#include "files/generations.h"
#include "files/journal.h"
#include "files/run_lock.h"
#include "records/wp_record.h"
#include "util/fd_io.h"
#include "util/join_text.h"
#include "util/system_calls.h"

namespace {

constexpr SpoolUnit kSpoolUnits[kMaxAppendedFiles] = {SpoolUnit::line, SpoolUnit::record};

// A failed write while settling: the run's own status while it settles its
// own journal, the recovery's when a later run does.
Failed failed_write(WayBack why, const char* path) {
  return fail_call(why == WayBack::this_run ? Failure::write_failed : Failure::undo_write_failed, errno,
                   path);
}

// The path an operator knows a journaled file by: mess.wp's own, the
// database's folder followed by the path the journal holds, or its real
// path when it holds none.
void shown_path(const RunContext& ctx, const JournaledFile& file, char (&shown)[kRealPathSize]) {
  if (std::strcmp(file.path, kMessagesName) == 0) {
    join_text(shown, sizeof shown, {ctx.config.update_message_path});
  } else if (file.path[0] == '\0') {
    join_text(shown, sizeof shown, {file.real});
  } else {
    join_text(shown, sizeof shown, {ctx.config.folder_path, file.path});
  }
}

// Opens the folder that holds a journaled file, without following a link
// (and, as root, only through folders nobody else can change): by its path
// from the database's folder, else by its real path, for a site moved
// without a file outside it.
bool open_holder(const RunContext& ctx, const JournaledFile& file, OpenFolder* holder,
                 char (&name)[kNameSize]) {
  char shown[kRealPathSize];
  WalkResult found = WalkResult::failed;
  if (file.path[0] != '\0') {
    found = walk_path({file.path, &ctx.folder, ctx.strict, false, true}, holder, name, shown);
  }
  if (found != WalkResult::opened && file.real[0] == '/') {
    found = walk_path({file.real, nullptr, ctx.strict, false, true}, holder, name, shown);
  }
  return found == WalkResult::opened;
}

// Removes a file the run created for its announcements, while it is empty:
// an undone run leaves no file it made.
void remove_created_file(const RunContext& ctx, const JournaledFile& file) {
  OpenFolder holder;
  char name[kNameSize];
  struct stat st;
  if (!file.created || !open_holder(ctx, file, &holder, name)) return;
  if (sys().fstatat(holder.fd, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode) &&
      st.st_size == 0) {
    sys().unlinkat(holder.fd, name, 0);
  }
  close_folder(&holder);
}

// Appends spool i to its file, exactly once.
Failed append_journaled_file(RunContext& ctx, Journal& journal, int i, WayBack why) {
  const JournaledFile& file = journal.files[i];
  char shown[kRealPathSize];
  shown_path(ctx, file, shown);
  const char* spool_path = ctx.config.spool_paths[i];
  int spool = open_regular_at(ctx.folder.fd, kSpoolNames[i], O_RDONLY, 0, Links::refuse);
  if (spool < 0) return failed_write(why, spool_path);
  OpenFolder holder;
  char name[kNameSize];
  if (!open_holder(ctx, file, &holder, name)) {
    close_fd(spool);
    return failed_write(why, shown);
  }
  // The larger system may have taken the file away since: made anew, its
  // name made durable before the journal that names it goes.
  int fd = open_regular_at(holder.fd, name, O_RDWR, 0, Links::refuse);
  if (fd < 0 && errno == ENOENT) {
    fd = open_regular_at(holder.fd, name, O_RDWR | O_CREAT | O_EXCL, 0666, Links::refuse);
    if (fd >= 0 && !sync_folder(holder.fd)) {
      close_fd(fd);
      fd = -1;
    }
  }
  close_folder(&holder);
  Failed failed;
  bool spool_failed = false;
  if (fd < 0) {
    failed = failed_write(why, shown);
  } else if (!append_spool(fd, spool, ctx.lock_fd, &journal, i, kSpoolUnits[i], &spool_failed)) {
    failed =
        spool_failed ? fail_call(Failure::spool_unreadable, errno, spool_path) : failed_write(why, shown);
  }
  if (fd >= 0 && !close_fd(fd) && !failed) failed = failed_write(why, shown);
  close_fd(spool);  // read-only
  return failed;
}

// A committed run: the database is complete; the generations move and the
// announcements are appended.
Failed complete(RunContext& ctx, Journal& journal, WayBack why) {
  const SiteConfig& config = ctx.config;
  // A copy that caught a record half-appended ends with part of it, which
  // the run carried whole: as a generation it ends at the last boundary.
  std::int64_t whole = journal.backup.length - journal.backup.length % static_cast<std::int64_t>(kRecordSize);
  if (journal.has_appended && whole != journal.backup.length) {
    int backup = open_regular_at(ctx.folder.fd, kNewBackupName, O_WRONLY, 0, Links::refuse);
    bool cut = backup < 0 ? errno == ENOENT
                          : sys().ftruncate(backup, static_cast<off_t>(whole)) == 0 && sync_fd(backup);
    if (backup >= 0) cut = close_fd(backup) && cut;
    if (!cut) return failed_write(why, config.new_backup_path);
  }
  char name[kGenerationNameSize];
  if (!rotate_generations(ctx.folder.fd, journal.keep, journal.generations, name)) {
    join_text(ctx.shown, sizeof ctx.shown, {config.folder_path, name});
    return failed_write(why, ctx.shown);
  }
  for (int i = 0; i < journal.count; ++i) {
    if (Failed f = append_journaled_file(ctx, journal, i, why)) return f;
  }
  if (!clear_journal(ctx.lock_fd)) return failed_write(why, config.lock_path);
  remove_working_files(ctx.folder.fd);
  if (why != WayBack::this_run) {
    std::fprintf(stderr, "Previous run was interrupted after its commit: '%s' completed\n",
                 config.database_path);
  }
  return {};
}

// A run that did not commit: the database from its backup, as it was.
// known: the journal could be read (with recover, it may not have been).
Failed undo(RunContext& ctx, const Journal& journal, WayBack why, bool known) {
  const SiteConfig& config = ctx.config;
  int backup = open_regular_at(ctx.folder.fd, kNewBackupName, O_RDONLY, 0, Links::refuse);
  bool gone = backup < 0;
  CopyIdentity found;
  bool same = !gone && known && identify_copy(backup, &found) && found.length == journal.backup.length &&
              found.mtime == journal.backup.mtime && found.sample == journal.backup.sample;
  if (!same && why != WayBack::recover) {
    if (backup >= 0) close_fd(backup);
    write_failure(fail(Failure::cannot_restore, config.database_path, config.new_backup_path));
    return fail(gone ? Failure::backup_gone : Failure::backup_changed, config.new_backup_path,
                config.database_path);
  }
  // A run whose backup is gone may have been committed and rotated: its
  // spools may hold announcements that never reached their files, and
  // without a journal nothing says how much did.
  for (int i = 0; gone && i < kMaxAppendedFiles; ++i) {
    struct stat st;
    if (sys().fstatat(ctx.folder.fd, kSpoolNames[i], &st, 0) == 0 && st.st_size > 0) {
      return fail(Failure::spool_left, config.spool_paths[i],
                  i == 0 ? config.update_message_path : "the update file");
    }
  }
  Failed failed;
  bool added_failed = false;
  if (!gone && !restore_database(backup, ctx.folder.fd, kDatabaseName, journal.restoring)) {
    failed = fail_call(Failure::cannot_restore, errno, config.database_path, config.new_backup_path);
  } else if (journal.has_appended &&
             !put_back_appended(ctx.folder.fd, kAddedName, kDatabaseName, journal.appended_from,
                                journal.appended_to, &added_failed)) {
    failed = failed_write(why, added_failed ? config.added_path : config.database_path);
  } else if (!clear_journal(ctx.lock_fd)) {
    failed = failed_write(why, config.lock_path);
  }
  if (backup >= 0) close_fd(backup);  // read-only
  if (failed) return failed;
  // Only now that the journal is cleared: a kill before this point leaves
  // everything the undo needs to be done again.
  if (known) {
    remove_working_files(ctx.folder.fd);
  } else {
    // Without a journal nothing says whether wp.add holds records that are
    // nowhere else: it stays.
    for (const char* name : {kNewBackupName, kSpoolNames[0], kSpoolNames[1]}) {
      remove_file(ctx.folder.fd, name);
    }
  }
  for (int i = 0; i < journal.count; ++i) remove_created_file(ctx, journal.files[i]);
  if (why == WayBack::next_run) {
    std::fprintf(stderr, "Previous run was interrupted: '%s' restored from '%s'\n", config.database_path,
                 config.new_backup_path);
  } else if (why == WayBack::recover && gone) {
    std::fprintf(stderr,
                 "'%s' was kept as the interrupted run left it: '%s' is gone; it may hold records twice\n",
                 config.database_path, config.new_backup_path);
  } else if (why == WayBack::recover) {
    std::fprintf(stderr, "'%s' restored from '%s'\n", config.database_path, config.new_backup_path);
  }
  return {};
}

// Takes the database's own locks, a flock and a record lock over the whole
// file, so that a writer of the larger system that takes either waits
// for the run; a database held by one is in use. A database that is not
// there (yet) has nothing to lock.
Failed lock_database(RunContext& ctx) {
  ctx.database_lock_fd = open_regular_at(ctx.folder.fd, kDatabaseName, O_RDWR, 0, Links::refuse);
  if (ctx.database_lock_fd < 0 || lock_file(ctx.database_lock_fd) == LockResult::locked) return {};
  return fail(Failure::database_in_use, ctx.config.database_path);
}

// Whether each file the journal names has a path from the database's
// folder that leads to its real path.
bool paths_agree(const RunContext& ctx, const Journal& journal) {
  for (int i = 0; i < journal.count; ++i) {
    char path[kJournalPathSize];
    if (!relative_path(ctx.folder.real, journal.files[i].real, path, sizeof path) ||
        std::strcmp(path, journal.files[i].path) != 0) {
      return false;
    }
  }
  return true;
}

}  // namespace

Failed settle_journal(RunContext& ctx, WayBack why) {
  Journal& journal = ctx.journal;
  JournalState state = read_journal(ctx.lock_fd, &journal, true);
  int error = errno;
  // A first entry cut short: the run never touched the database, as long
  // as it still begins with the copy; otherwise the journal was damaged
  // after the run went on.
  if (state == JournalState::unfinished) {
    state = begins_with_copy(ctx.folder.fd, kDatabaseName, kNewBackupName) ? JournalState::none
                                                                           : JournalState::unreadable;
    error = 0;
  }
  // Asked to, a journal whose only fault is a checksum is taken as it
  // reads, as long as the two paths of each file it names agree.
  if (state == JournalState::unreadable && why == WayBack::recover &&
      read_journal(ctx.lock_fd, &journal, false) == JournalState::set && paths_agree(ctx, journal)) {
    std::fprintf(stderr, "The journal in '%s' is damaged; it was read without its checksums\n",
                 ctx.config.lock_path);
    state = JournalState::set;
  }
  switch (state) {
    case JournalState::none:
    case JournalState::unfinished:
      if (why == WayBack::recover) {
        std::fprintf(stderr, "No interrupted run to recover in '%s'\n", ctx.config.folder_path);
      }
      return {};
    case JournalState::unreadable:
      // Going on could copy a half-written database over the only backup.
      if (why != WayBack::recover) return fail_call(Failure::journal_unreadable, error, ctx.config.lock_path);
      journal = Journal{};
      return undo(ctx, journal, why, false);
    case JournalState::set:
      break;
  }
  return journal.committed ? complete(ctx, journal, why) : undo(ctx, journal, why, true);
}

Failed take_locks(RunContext& ctx) {
  errno = ctx.folder_error;
  switch (ctx.folder.fd < 0 ? LockResult::cannot_open
                            : take_run_lock(ctx.folder.fd, kLockName, &ctx.lock_fd)) {
    case LockResult::locked:
      break;
    case LockResult::in_use:
      return fail(Failure::database_in_use, ctx.config.database_path);
    case LockResult::cannot_open:
      return fail_call(Failure::no_lock_file, errno, ctx.config.lock_path);
  }
  return lock_database(ctx);
}

void remove_working_files(int folder) {
  for (const char* name : {kNewBackupName, kAddedName, kSpoolNames[0], kSpoolNames[1]}) {
    remove_file(folder, name);
  }
}

const char* next_run_source(int folder, bool* interrupted) {
  int lock = open_regular_at(folder, kLockName, O_RDONLY, 0, Links::refuse);
  Journal journal;
  *interrupted = lock >= 0 && read_journal(lock, &journal) == JournalState::set && !journal.committed;
  if (lock >= 0) close_fd(lock);
  return *interrupted ? kNewBackupName : kDatabaseName;
}
