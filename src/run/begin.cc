// Opening, backing up and journaling before the database is touched.
#include "run/begin.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "files/copy_file.h"
#include "files/file_names.h"
#include "files/generations.h"
#include "files/journal.h"
#include "util/fd_io.h"
#include "util/join_text.h"
#include "util/system_calls.h"

namespace {

// Opens name in folder for writing, creating it if missing (*created);
// -1 when it cannot be.
int open_appended(int folder, const char* name, bool* created) {
  int fd = open_regular_at(folder, name, O_RDWR, 0, Links::refuse);
  *created = false;
  if (fd < 0 && errno == ENOENT) {
    fd = open_regular_at(folder, name, O_RDWR | O_CREAT | O_EXCL, 0666, Links::refuse);
    *created = fd >= 0;
  }
  return fd;
}

// True when the open update file is one of the run's own files, init.srv
// or the result file: appending records to a file the run or the larger
// system reads or rewrites would corrupt it.
bool update_file_is_database_file(const RunContext& ctx) {
  struct stat update;
  if (sys().fstat(ctx.appended_fd[1], &update) != 0) return false;
  if (is_own_file(ctx.folder.fd, update)) return true;
  struct stat other;
  for (const char* name : {"init.srv", static_cast<const char*>(ctx.config.result_file_name)}) {
    if (sys().fstatat(AT_FDCWD, name, &other, 0) == 0 && same_file(update, other)) return true;
  }
  return false;
}

Failed open_update_file(RunContext& ctx) {
  const char* path = ctx.options.update_file;
  // One of the run's own names in the database's folder is refused by its
  // name before it could be created; another name of one of those files
  // by its identity once open.
  if (ctx.update_folder.fd >= 0 && std::strcmp(ctx.update_folder.real, ctx.folder.real) == 0 &&
      is_own_name(ctx.update_name)) {
    return fail(Failure::update_file_is_database_file, path);
  }
  // Named by the operator, so its last part may be a symbolic link, which
  // open_folders has followed.
  errno = ctx.update_folder_error;
  if (ctx.update_folder.fd < 0 ||
      (ctx.appended_fd[1] = open_appended(ctx.update_folder.fd, ctx.update_name, &ctx.created[1])) < 0) {
    return fail_call(Failure::no_update_file, errno, path);
  }
  if (update_file_is_database_file(ctx)) return fail(Failure::update_file_is_database_file, path);
  return {};
}

// Records the appended file i, name in the open folder, in the journal: by
// its real path, and by its path from the database's folder, so that a
// site moved or copied as a whole finds it again (left empty when that
// does not fit).
bool journal_file(RunContext& ctx, int i, const OpenFolder& folder, const char* name) {
  JournaledFile& file = ctx.journal.files[i];
  bool at_root = std::strcmp(folder.real, "/") == 0;
  errno = ENAMETOOLONG;
  if (!join_text(file.real, sizeof file.real, {folder.real, at_root ? "" : "/", name})) return false;
  if (!relative_path(ctx.folder.real, file.real, file.path, sizeof file.path)) file.path[0] = '\0';
  file.created = ctx.created[i];
  ctx.journal.count = i + 1;
  return true;
}

// Creates the spools, empty, for the announcements of the record loop.
Failed open_spools(RunContext& ctx) {
  char* buffers[] = {ctx.messages_buffer, ctx.update_buffer};
  OutputBuffer* spools[] = {&ctx.announcer.messages, &ctx.announcer.update_file};
  for (int i = 0; i < kMaxAppendedFiles; ++i) {
    if (ctx.appended_fd[i] < 0) continue;
    int fd =
        open_regular_at(ctx.folder.fd, kSpoolNames[i], O_WRONLY | O_CREAT | O_TRUNC, 0600, Links::refuse);
    if (fd < 0) return fail_call(Failure::no_spool, errno, ctx.config.spool_paths[i]);
    *spools[i] = make_output(fd, buffers[i], kAppendBufferSize);
  }
  return {};
}

}  // namespace

Failed open_messages_file(RunContext& ctx, bool create) {
  errno = ctx.folder_error;
  if (ctx.folder.fd >= 0) {
    ctx.appended_fd[0] = create ? open_appended(ctx.folder.fd, kMessagesName, &ctx.created[0])
                                : open_regular_at(ctx.folder.fd, kMessagesName, O_RDWR, 0, Links::refuse);
    if (ctx.appended_fd[0] >= 0 || (!create && errno == ENOENT)) return {};
  }
  return fail_call(Failure::no_messages_file, errno, ctx.config.update_message_path);
}

Failed check_generations(RunContext& ctx, int keep) {
  char name[kGenerationNameSize];
  if (find_irregular_working_file(ctx.folder.fd, name, &ctx.generations)) {
    int error = errno;
    join_text(ctx.shown, sizeof ctx.shown, {ctx.config.folder_path, name});
    return fail_call(Failure::irregular_working_file, error, ctx.shown);
  }
  int beyond = keep + 1;
  while (beyond <= kMostGenerations && (ctx.generations >> beyond & 1) == 0) ++beyond;
  if (beyond > kMostGenerations) return {};
  generation_name(beyond, name);
  join_text(ctx.shown, sizeof ctx.shown, {ctx.config.folder_path, name});
  char kept[16];
  std::snprintf(kept, sizeof kept, "%d", keep);
  return fail(Failure::generation_beyond_keep, ctx.shown, kept);
}

Failed make_backup(RunContext& ctx) {
  const char* failed_name = nullptr;
  CopyResult copied = copy_file(ctx.folder.fd, kDatabaseName, kNewBackupName, kBackupName, &failed_name);
  if (copied == CopyResult::copied) {
    ctx.backup_made = true;
    return {};
  }
  return copy_failure(copied, ctx.config, failed_name);
}

Failed open_loop_files(RunContext& ctx) {
  const SiteConfig& config = ctx.config;
  ctx.backup_fd = open_regular_at(ctx.folder.fd, kNewBackupName, O_RDONLY, 0, Links::refuse);
  if (ctx.backup_fd < 0) return fail_call(Failure::no_backup_read, errno, config.new_backup_path);
  if (ctx.options.update_file[0] != '\0') {
    if (Failed f = open_update_file(ctx)) return f;
  }
  if (Failed f = open_spools(ctx)) return f;

  // The journal: the backup as copied and the files the commit appends
  // to, flushed to disk before the database is opened.
  Journal& journal = ctx.journal;
  journal = Journal{};
  journal.keep = ctx.options.keep;
  bool journaled = identify_copy(ctx.backup_fd, &journal.backup) &&
                   journal_file(ctx, 0, ctx.folder, kMessagesName) &&
                   (ctx.appended_fd[1] < 0 || journal_file(ctx, 1, ctx.update_folder, ctx.update_name));
  if (!journaled || !write_journal(ctx.lock_fd, &journal, JournalEntry::begin)) {
    int error = errno;
    // A begin entry that reached the file but not the disk must not
    // outlive this run.
    clear_journal(ctx.lock_fd);
    return fail_call(Failure::journal_unwritable, error, config.lock_path);
  }
  ctx.journal_set = true;
  // Written over from its start and cut to length at the end. Read as
  // well: records others append are carried from it.
  ctx.database_fd = open_regular_at(ctx.folder.fd, kDatabaseName, O_RDWR | O_CREAT, 0666, Links::refuse);
  if (ctx.database_fd < 0) {
    int error = errno;
    ctx.journal_set = false;
    clear_journal(ctx.lock_fd);  // the database was not touched
    return fail_call(Failure::no_database_write, error, config.database_path);
  }
  return {};
}

Failed copy_failure(CopyResult result, const SiteConfig& config, const char* failed_name) {
  int error = errno;
  char path[kPathSize];
  join_text(path, sizeof path, {config.folder_path, failed_name});
  switch (result) {
    case CopyResult::no_source:
      return fail_call(Failure::no_database, error, config.database_path);
    case CopyResult::no_destination:
      return fail_call(Failure::no_backup_created, error, config.new_backup_path);
    case CopyResult::model_refused:
      return fail(Failure::no_backup_created, config.backup_path);
    case CopyResult::same_file:
      return fail(Failure::backup_is_database, config.backup_path);
    case CopyResult::failed:  // no message of its own: the reason alone names the file
      return fail_call(Failure::copy_failed, error, path);
    case CopyResult::stopped:
      return fail(Failure::stopped);
    case CopyResult::copied:
      break;
  }
  return {};
}
