// The record loop and the commit.
#include "run/commit.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>

#include "files/file_names.h"
#include "files/journal.h"
#include "run/progress.h"
#include "run/record_loop.h"
#include "run/way_back.h"
#include "util/fd_io.h"
#include "util/quiet.h"
#include "util/stop_signal.h"
#include "util/system_calls.h"

namespace {

// How many times the commit looks again for records appended while it
// moves those it found: each round takes what arrived during the one
// before, which lasts as long as copying that much twice; a writer that
// never stops is cut off after the last.
constexpr int kCarryRounds = 8;

// Records the larger system appended to the database during the run (it
// grew past the backup's length) follow the rewritten records, carried as
// they are from the last record boundary of the backup, so that a record
// the backup copy caught half-written is carried whole: the run has not
// reviewed them, the next run does. They are kept in wp.add first, and the
// journal says so, so that an undo or a crash puts them back.
bool carry_appended_records(RunContext& ctx) {
  const std::int64_t length = ctx.journal.backup.length;
  const std::int64_t from = length - length % static_cast<std::int64_t>(kRecordSize);
  std::int64_t carried = from;  // the database's bytes moved so far
  int added = -1;
  bool in_failed = false;
  bool ok = true;
  for (int round = 0; ok && round < kCarryRounds; ++round) {
    struct stat st;
    if (sys().fstat(ctx.database_fd, &st) != 0) return false;
    if (st.st_size <= length || st.st_size <= carried) break;
    if (added < 0) {
      ok = remove_file(ctx.folder.fd, kAddedName);
      added = ok ? open_regular_at(ctx.folder.fd, kAddedName, O_RDWR | O_CREAT | O_EXCL, 0600, Links::refuse)
                 : -1;
      ok = added >= 0 && sync_folder(ctx.folder.fd);
    }
    std::int64_t grown = st.st_size - carried;
    ctx.journal.appended_from = from;
    ctx.journal.appended_to = st.st_size;
    ok = ok &&
         copy_bytes(ctx.database_fd, static_cast<off_t>(carried), added, static_cast<off_t>(carried - from),
                    grown, false, &in_failed) &&
         sync_fd(added) && write_journal(ctx.lock_fd, &ctx.journal, JournalEntry::appended) &&
         copy_bytes(added, static_cast<off_t>(carried - from), ctx.database_fd,
                    static_cast<off_t>(ctx.database_length), grown, false, &in_failed);
    ctx.database_length += grown;
    carried = st.st_size;
  }
  if (added >= 0) ok = close_fd(added) && ok;
  return ok;
}

// The path of the file whose write failed in the record loop.
const char* failed_write_path(const RunContext& ctx, int* error) {
  const OutputBuffer* spools[] = {&ctx.announcer.messages, &ctx.announcer.update_file};
  for (int i = 0; i < kMaxAppendedFiles; ++i) {
    if (output_failed(*spools[i])) {
      *error = spools[i]->error;
      return ctx.config.spool_paths[i];
    }
  }
  return ctx.config.database_path;
}

bool announcer_failed(const void* target) {
  return announcement_failed(*static_cast<const Announcer*>(target));
}

}  // namespace

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
                           !quiet()};
  int error = 0;
  switch (review_records(ctx.backup_fd, ctx.database_fd, pass, ctx.block, &ctx.counters, &ctx.duplicates,
                         &ctx.database_length)) {
    case LoopResult::done:
      break;
    case LoopResult::stopped:
      return fail(Failure::stopped);
    case LoopResult::read_error:
      return fail_call(Failure::backup_read_failed, errno, ctx.config.new_backup_path);
    case LoopResult::write_error:
      error = errno;
      return fail_call(Failure::write_failed, error, failed_write_path(ctx, &error));
  }
  if (ctx.options.max_drop >= 0) {
    // A run that would drop more than the limit is undone whole.
    std::int64_t read = ctx.counters.record_index;
    std::int64_t dropped = read - ctx.database_length / static_cast<std::int64_t>(kRecordSize);
    if (dropped * 100 > static_cast<std::int64_t>(ctx.options.max_drop) * read) {
      write_records_reviewed(ctx.counters.total);  // ends the progress line, as a run does
      char numbers[2][24];
      std::snprintf(numbers[0], sizeof numbers[0], "%ld", static_cast<long>(dropped));
      std::snprintf(numbers[1], sizeof numbers[1], "%ld", static_cast<long>(read));
      return fail(Failure::too_many_drops, numbers[0], numbers[1]);
    }
  }
  return commit_run(ctx);
}

Failed commit_run(RunContext& ctx) {
  const SiteConfig& config = ctx.config;
  Journal& journal = ctx.journal;
  OutputBuffer* spools[] = {&ctx.announcer.messages, &ctx.announcer.update_file};
  for (int i = 0; i < journal.count; ++i) {
    OutputBuffer& spool = *spools[i];
    if (!flush_output(spool)) return fail_call(Failure::write_failed, spool.error, config.spool_paths[i]);
    if (!sync_fd(output_fd(spool))) return fail_call(Failure::write_failed, errno, config.spool_paths[i]);
    journal.files[i].spool_length = spool.written;
    journal.files[i].spool_sum = checksum_value(spool.sum);
    struct stat st;
    if (sys().fstat(ctx.appended_fd[i], &st) != 0)
      return fail_call(Failure::write_failed, errno, config.spool_paths[i]);
    journal.files[i].length = st.st_size;
    journal.files[i].moved_from = 0;
    journal.files[i].moved_at = st.st_size;
  }
  for (int& fd : ctx.appended_fd) {
    if (fd >= 0) close_fd(fd);  // nothing was written through them
    fd = -1;
  }
  if (ctx.database_fd >= 0) {
    bool ok = carry_appended_records(ctx) &&
              sys().ftruncate(ctx.database_fd, static_cast<off_t>(ctx.database_length)) == 0 &&
              sync_fd(ctx.database_fd);
    int error = errno;
    if (!close_fd(ctx.database_fd) && ok) {
      ok = false;
      error = errno;
    }
    ctx.database_fd = -1;
    if (!ok) return fail_call(Failure::write_failed, error, config.database_path);
  }
  // The names of the spools, of wp.add and of a file this run created must
  // be durable before the journal names them.
  if (!sync_folder(ctx.folder.fd) || (ctx.created[1] && !sync_folder(ctx.update_folder.fd))) {
    return fail_call(Failure::write_failed, errno, config.folder_path);
  }
  if (stop_signal() != 0) return fail(Failure::stopped);
  journal.generations = ctx.generations & ((1u << (journal.keep + 1)) - 1);
  if (!write_journal(ctx.lock_fd, &journal, JournalEntry::committed)) {
    return fail_call(Failure::write_failed, errno, config.lock_path);
  }
  // Committed: from here on the run completes, now or in the next run.
  ctx.journal_set = false;
  ctx.backup_made = false;
  for (OutputBuffer* spool : spools) release_output(*spool);
  return settle_journal(ctx, WayBack::this_run);
}
