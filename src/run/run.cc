// The run sequence: banner, start time, configuration, the folders of the
// run's files, run lock, backup copy, file opens, the record loop, the
// commit of every file and the summary. The run is one transaction: from
// the moment the journal is set until it is cleared, any failure or stop
// signal cuts the appended files back and restores the database from the
// backup, and a run that was killed in that window is undone the same way
// by the next one.
#include "run/run.h"

#include <unistd.h>

#include <cstdint>
#include <cstdio>

#include "files/copy_file.h"
#include "run/clock.h"
#include "run/command_line.h"
#include "run/failure.h"
#include "run/messages.h"
#include "run/progress.h"
#include "run/recovery.h"
#include "run/run_context.h"
#include "run/site_folders.h"
#include "run/summary.h"
#include "run/transaction.h"
#include "util/date_stamp.h"
#include "util/fd_io.h"
#include "util/stop_signal.h"
#include "util/system_calls.h"

namespace {

void write_settings(const RunOptions& options) {
  std::fputs("Updating white pages database    \n", stderr);
  std::fprintf(stderr, "  Update time is %d days\n", options.upd_days);
  if (options.kill_days != 0) std::fprintf(stderr, "  Delete time is %d days\n\n", options.kill_days);
}

// The failure of the backup copy.
Failed copy_failure(CopyResult result, const SiteConfig& config) {
  switch (result) {
    case CopyResult::no_source:
      return {Failure::no_database, config.database_path};
    case CopyResult::no_destination:
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

// The run from the configuration to the summary, or its first failure.
// A stop signal ends the process from here: before the journal is set
// with nothing touched, while it is set once the run is undone.
Failed run_sequence(RunContext& ctx, bool recover) {
  ctx.strict = ::geteuid() == 0;
  int init = -1;
  if (Failed f = open_init(ctx, &init)) return f;
  if (Failed f = read_configuration(init, ctx.start_time, ctx.options, &ctx.config)) return f;
  if (!recover) write_settings(ctx.options);
  const SiteConfig& config = ctx.config;
  if (Failed f = open_folders(ctx)) return f;
  if (recover) return lock_and_recover(ctx, true);

  // A missing mess.wp is created only once an interrupted run has been
  // undone, so that the undo finds it missing as it was left.
  bool opened = false;
  if (Failed f = open_messages_file(ctx, false, &opened)) return f;
  if (Failed f = lock_and_recover(ctx, false)) return f;
  if (!opened) {
    if (Failed f = open_messages_file(ctx, true, &opened)) return f;
  }
  if (stop_signal() != 0) end_by_signal(stop_signal());

  std::fprintf(stderr, "%s - Saves WP.SYS file into WP.OLD file    \n\n", stamp_date(sys().time(nullptr)));
  flush_standard_error();  // the copy of a large database takes a while
  CopyResult copied = copy_file(ctx.folder.fd, kDatabaseName, kBackupName);
  if (copied == CopyResult::stopped) end_by_signal(stop_signal());
  if (Failed f = copy_failure(copied, config)) return f;
  // Nothing is touched yet: a stop signal ends the run here.
  if (stop_signal() != 0) end_by_signal(stop_signal());
  if (Failed f = open_loop_files(ctx)) return f;
  if (Failed f = rewrite_database(ctx)) return f;
  close_run_files(ctx);
  std::fprintf(stderr, "\rRecord %ld\n\n", static_cast<long>(ctx.counters.total));
  flush_standard_error();  // before the summary, so a shared log keeps the order
  write_summary(ctx);
  return {};
}

}  // namespace

int run_kestol(int argc, char** argv) {
  open_standard_descriptors();
  install_stop_handlers();
  RunContext ctx;
  buffer_standard_error();
  bool recover = false;
  int status = 0;
  if (answer_command_line(parse_command_line(argc, argv, &ctx.options), write_usage, &recover, &status)) {
    return status;
  }
  write_banner();
  if (Failed f = read_start_time(&ctx.start_time)) return report_failure(f);
  Failed failed = run_sequence(ctx, recover);
  status = report_failure(failed);
  // A failure or a stop signal while the journal is set undoes the run,
  // after its own message; the process then ends by the signal.
  if (failed && ctx.in_transaction) undo_run(ctx);
  if (failed.failure == Failure::stopped) end_by_signal(stop_signal());
  return status;
}
