// The run sequence: banner, start time, configuration, the folders of the
// run's files, the locks and the journal a previous run left, backup copy,
// file opens, the record loop, the commit and the summary. From the moment
// the journal is set the run is one transaction: a failure or a stop
// signal before its commit has the way back undo it, and the commit has
// the way back complete it, here or in the next run.
#include "run/run.h"

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <initializer_list>

#include "files/file_names.h"
#include "run/begin.h"
#include "run/clock.h"
#include "run/command_line.h"
#include "run/commit.h"
#include "run/failure.h"
#include "run/messages.h"
#include "run/progress.h"
#include "run/restore.h"
#include "run/run_context.h"
#include "run/site_folders.h"
#include "run/summary.h"
#include "run/way_back.h"
#include "util/date_stamp.h"
#include "util/fd_io.h"
#include "util/quiet.h"
#include "util/stop_signal.h"
#include "util/system_calls.h"

namespace {

void write_settings(const RunOptions& options) {
  if (quiet()) return;
  std::fputs("Updating white pages database    \n", stderr);
  std::fprintf(stderr, "  Update time is %d days\n", options.upd_days);
  if (options.kill_days != 0) std::fprintf(stderr, "  Delete time is %d days\n\n", options.kill_days);
}

// The run from the configuration to the summary, or its first failure.
Failed run_sequence(RunContext& ctx) {
  const RunOptions& options = ctx.options;
  bool maintenance = options.recover || options.restore >= 0;  // no record loop
  ctx.strict = ::geteuid() == 0;
  int init = -1;
  if (Failed f = open_init(ctx, &init)) return f;
  if (Failed f = read_configuration(init, ctx.init_error, ctx.start_time, ctx.options, &ctx.config)) return f;
  if (!maintenance) write_settings(ctx.options);
  if (Failed f = open_folders(ctx)) return f;
  if (!maintenance) {
    if (Failed f = open_messages_file(ctx, false)) return f;
  }
  if (Failed f = take_locks(ctx)) return f;
  // Files the way back renames or removes must be what they seem.
  if (Failed f = check_generations(ctx, kMostGenerations)) return f;
  if (Failed f = settle_journal(ctx, options.recover ? WayBack::recover : WayBack::next_run)) return f;
  if (options.recover) return {};
  bool whole_chain = options.restore >= 0 && !options.keep_given;
  if (Failed f = check_generations(ctx, whole_chain ? kMostGenerations : options.keep)) return f;
  if (options.restore >= 0) return restore_generation(ctx);
  if (ctx.appended_fd[0] < 0) {
    if (Failed f = open_messages_file(ctx, true)) return f;
  }
  if (stop_signal() != 0) return fail(Failure::stopped);

  if (!quiet()) {
    std::fprintf(stderr, "%s - Saves WP.SYS file into WP.OLD file    \n\n", stamp_date(sys().time(nullptr)));
  }
  flush_standard_error();  // the copy of a large database takes a while
  if (Failed f = make_backup(ctx)) return f;
  // Nothing is touched yet: a stop signal ends the run here.
  if (stop_signal() != 0) return fail(Failure::stopped);
  if (Failed f = open_loop_files(ctx)) return f;
  if (Failed f = rewrite_database(ctx)) return f;
  write_records_reviewed(ctx.counters.total);
  flush_standard_error();  // before the summary, so a shared log keeps the order
  write_summary(ctx);
  return {};
}

// After a failure: the way back settles the journal that covers the run,
// or the run's working files go when none does yet.
void clean_up(RunContext& ctx) {
  for (int* fd : {&ctx.database_fd, &ctx.backup_fd, &ctx.appended_fd[0], &ctx.appended_fd[1]}) {
    if (*fd >= 0) close_fd(*fd);
    *fd = -1;
  }
  release_output(ctx.announcer.messages);
  release_output(ctx.announcer.update_file);
  if (ctx.journal_set) {
    ctx.journal_set = false;
    ctx.backup_made = false;
    write_failure(settle_journal(ctx, WayBack::this_run));
  } else if (ctx.backup_made) {
    remove_working_files(ctx.folder.fd);
  }
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
  set_quiet(ctx.options.quiet);
  write_banner();
  if (Failed f = read_start_time(&ctx.start_time)) return report_failure(f);
  Failed failed = run_sequence(ctx);
  status = report_failure(failed);
  if (failed) clean_up(ctx);
  if (failed.failure == Failure::stopped) end_by_signal(stop_signal());

  return status;
}
