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
#include "files/generations.h"
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

// The run from the configuration to the summary, or its first failure.
// A stop signal ends the process from here: before the journal is set
// with nothing touched, while it is set once the run is undone.
Failed run_sequence(RunContext& ctx) {
  const RunOptions& options = ctx.options;
  bool maintenance = options.recover || options.restore >= 0;  // no record loop
  ctx.strict = ::geteuid() == 0;
  int init = -1;
  if (Failed f = open_init(ctx, &init)) return f;
  if (Failed f = read_configuration(init, ctx.start_time, ctx.options, &ctx.config)) return f;
  if (!maintenance) write_settings(ctx.options);
  const SiteConfig& config = ctx.config;
  if (Failed f = open_folders(ctx)) return f;
  if (options.recover) return lock_and_recover(ctx, true);
  if (options.restore >= 0) {
    if (Failed f = lock_and_recover(ctx, false)) return f;
    return restore_generation(ctx);
  }

  // A missing mess.wp is created only once an interrupted run has been
  // undone, so that the undo finds it missing as it was left.
  bool opened = false;
  if (Failed f = open_messages_file(ctx, false, &opened)) return f;
  if (Failed f = lock_and_recover(ctx, false)) return f;
  if (!opened) {
    if (Failed f = open_messages_file(ctx, true, &opened)) return f;
  }
  if (stop_signal() != 0) return {Failure::stopped};

  std::fprintf(stderr, "%s - Saves WP.SYS file into WP.OLD file    \n\n", stamp_date(sys().time(nullptr)));
  flush_standard_error();  // the copy of a large database takes a while
  CopyResult copied = copy_file(ctx.folder.fd, kDatabaseName, kNewBackupName, kBackupName, kSpareName);
  if (copied == CopyResult::stopped) return {Failure::stopped};
  if (Failed f = copy_failure(copied, config)) return f;
  ctx.backup_made = true;
  // Nothing is touched yet: a stop signal ends the run here.
  if (stop_signal() != 0) return {Failure::stopped};
  if (Failed f = open_loop_files(ctx)) return f;
  if (Failed f = rewrite_database(ctx)) return f;
  close_run_files(ctx);
  write_records_reviewed(ctx.counters.total);
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
  int status = 0;
  if (answer_command_line(parse_command_line(argc, argv, &ctx.options), ctx.options, write_usage, &status)) {
    return status;
  }
  write_banner();
  if (Failed f = read_start_time(&ctx.start_time)) return report_failure(f);
  Failed failed = run_sequence(ctx);
  status = report_failure(failed);
  // A failure or a stop signal while the journal is set undoes the run,
  // after its own message; the process then ends by the signal.
  if (failed && ctx.in_transaction) {
    undo_run(ctx);
  } else if (failed && ctx.backup_made) {
    // Ended before the journal: the generations stay as they were.
    remove_file(ctx.folder.fd, kNewBackupName);
  }
  if (failed.failure == Failure::stopped) end_by_signal(stop_signal());

  return status;
}
