// The run sequence: banner, start time, configuration, file opens, the
// record loop and the closing of every file.
#include "run/run.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <ctime>

#include "run/command_line.h"
#include "run/messages.h"
#include "run/record_loop.h"
#include "run/run_context.h"
#include "util/date_stamp.h"

namespace {

// Exit statuses.
constexpr int kOk = 0;
constexpr int kFailure = 1;      // configuration, mess.wp, record write
constexpr int kNoBackup = 3;     // backup cannot be read
constexpr int kNoDatabase = 4;   // database cannot be rewritten
constexpr int kNoUpdateFile = 5;

// Stream buffers of the two record files: large enough that the loop makes
// few system calls, fixed so that nothing is allocated per run.
char backup_buffer[1 << 16];
char database_buffer[1 << 16];

RunContext context;

void write_settings(const RunOptions& options) {
  std::fputs("Updating white pages database    \n", stderr);
  std::fprintf(stderr, "  Update time is %d days\n", options.upd_days);
  if (options.kill_days != 0) std::fprintf(stderr, "  Delete time is %d days\n\n", options.kill_days);
}

bool same_file(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// True when the open update file is the database, the backup or mess.wp:
// appending records to a file the run reads or rewrites would corrupt it.
bool update_file_is_database_file(const RunContext& ctx) {
  struct stat update;
  if (fstat(fileno(ctx.update_file), &update) != 0) return false;
  struct stat other;
  if (stat(ctx.config.database_path, &other) == 0 && same_file(update, other)) return true;
  if (fstat(fileno(ctx.backup), &other) == 0 && same_file(update, other)) return true;
  if (fstat(fileno(ctx.messages), &other) == 0 && same_file(update, other)) return true;
  return false;
}

// Closes the files of the loop in their order; false when the database
// could not be flushed to stable storage and closed.
bool close_loop_files(RunContext& ctx) {
  if (ctx.update_file != nullptr) std::fclose(ctx.update_file);
  ctx.update_file = nullptr;
  std::fclose(ctx.backup);
  ctx.backup = nullptr;
  bool database_ok = std::fflush(ctx.database) == 0;
  database_ok = fsync(fileno(ctx.database)) == 0 && database_ok;
  database_ok = std::fclose(ctx.database) == 0 && database_ok;
  ctx.database = nullptr;
  std::fclose(ctx.messages);
  ctx.messages = nullptr;
  return database_ok;
}

}  // namespace

int run_kestol(int argc, char** argv) {
  RunContext& ctx = context;
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
    case CommandLineAction::run:
      break;
  }

  write_banner();
  std::time_t now = std::time(nullptr);
  if (now > INT32_MAX || now < INT32_MIN) {
    std::fputs("System time out of range\n", stderr);
    return kFailure;
  }
  ctx.start_time = static_cast<std::int32_t>(now);
  if (!read_site_config(ctx.start_time, ctx.options.upd_days, ctx.options.kill_days, &ctx.config)) {
    return kFailure;
  }
  write_settings(ctx.options);
  const SiteConfig& config = ctx.config;

  ctx.messages = std::fopen(config.update_message_path, "a");
  if (ctx.messages == nullptr) {
    std::fprintf(stderr, "Cannot create '%s'  \n", config.update_message_path);
    return kFailure;
  }
  std::fprintf(stderr, "%s - Saves WP.SYS file into WP.OLD file    \n\n", stamp_date(std::time(nullptr)));

  ctx.backup = std::fopen(config.backup_path, "rb");
  if (ctx.backup == nullptr) {
    std::fprintf(stderr, "Cannot open '%s'     \n", config.backup_path);
    return kNoBackup;
  }
  std::setvbuf(ctx.backup, backup_buffer, _IOFBF, sizeof backup_buffer);

  // The update file is opened and checked before the database is truncated,
  // so a wrong update-file name never costs the database.
  if (ctx.options.update_file[0] != '\0') {
    ctx.update_file = std::fopen(ctx.options.update_file, "ab");
    if (ctx.update_file == nullptr) {
      std::fprintf(stderr, "Cannot open '%s'     \n", ctx.options.update_file);
      return kNoUpdateFile;
    }
    if (update_file_is_database_file(ctx)) {
      std::fprintf(stderr, "Update file '%s' is a database file\n", ctx.options.update_file);
      return kNoUpdateFile;
    }
  }

  ctx.database = std::fopen(config.database_path, "wb");
  if (ctx.database == nullptr) {
    std::fprintf(stderr, "Cannot open '%s'     \n", config.database_path);
    return kNoDatabase;
  }
  std::setvbuf(ctx.database, database_buffer, _IOFBF, sizeof database_buffer);

  LoopResult loop = run_record_loop(ctx);
  if (loop == LoopResult::read_error) {
    std::fprintf(stderr, "Error while reading file '%s'\n", config.backup_path);
    return kNoBackup;
  }
  if (loop == LoopResult::write_error || !close_loop_files(ctx)) {
    std::fprintf(stderr, "Error while writting file '%s'\n", config.database_path);
    return kFailure;
  }
  std::fprintf(stderr, "\rRecord %ld\n\n", static_cast<long>(ctx.counters.total));
  return kOk;
}
