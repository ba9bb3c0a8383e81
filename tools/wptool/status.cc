// The site status for a monitoring system: the last completed run from
// kestol.res, judged against the age limits; the records in the database
// now, against a minimum and against the backup of the last run (wp.old),
// so that a run that emptied the database is seen; and from the lock file
// whether a run holds it or an interrupted run left its journal. Files are
// only opened for reading and asked about; the lock is queried, never taken, so a poll cannot make a
// starting run find the database in use.
#include "tools/wptool/status.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "config/site_config.h"
#include "files/journal.h"
#include "files/run_lock.h"
#include "records/wp_record.h"
#include "run/result_file.h"
#include "tools/wptool/version.h"
#include "util/date_stamp.h"
#include "util/fd_io.h"

namespace {

constexpr long long kMaxHours = 1000000;  // more than a 32-bit clock spans
constexpr std::size_t kLineSize = 1024;
constexpr std::size_t kResultSize = 512;  // the counts come well before this

const char* const kStateNames[] = {"OK", "WARNING", "CRITICAL", "UNKNOWN"};

struct Limits {
  long long warning_hours = 26;
  long long critical_hours = 50;
  long long min_records = 1;
  long long max_shrink = 50;  // percent of the backup's records
  const char* directory = nullptr;
  bool version = false;
};

// An option that takes a whole number from 0 to max.
struct NumberOption {
  char short_name;  // 0: none
  const char* long_name;
  long long max;
  long long Limits::*value;
};

constexpr NumberOption kNumberOptions[] = {
    {'w', "--warning", kMaxHours, &Limits::warning_hours},
    {'c', "--critical", kMaxHours, &Limits::critical_hours},
    {0, "--min-records", LLONG_MAX, &Limits::min_records},
    {0, "--max-shrink", 100, &Limits::max_shrink},
};

// The last completed run, as its result file holds it.
struct LastRun {
  bool found;
  ResultHead head;
};

enum class Found { yes, missing, unreadable, malformed };
enum class LockState { idle, running, pending, unreadable };

// A line of text built piece by piece; what does not fit is cut.
struct Line {
  char text[kLineSize];
  std::size_t used;
};

__attribute__((format(printf, 2, 3))) void add(Line* line, const char* format, ...) {
  if (line->used >= sizeof line->text - 1) return;
  std::va_list args;
  va_start(args, format);
  int n = std::vsnprintf(line->text + line->used, sizeof line->text - line->used, format, args);
  va_end(args);
  if (n > 0) line->used += static_cast<std::size_t>(n);
  if (line->used > sizeof line->text - 1) line->used = sizeof line->text - 1;
}

// The worse of two statuses: CRITICAL over UNKNOWN over WARNING over OK.
int worse(int a, int b) {
  static const int rank[] = {0, 1, 3, 2};
  return rank[b] > rank[a] ? b : a;
}

// Whether argv[*i] is the option long_name (or -short_name, unless 0),
// and then its value in *value: after "=" in "--name=VALUE", joined in
// "-xVALUE", or else the next argument, which *i moves on to; nullptr when
// there is none.
bool take_option(int argc, char** argv, int* i, char short_name, const char* long_name, const char** value) {
  const char* arg = argv[*i];
  std::size_t length = std::strlen(long_name);
  if (std::strncmp(arg, long_name, length) == 0 && (arg[length] == '=' || arg[length] == '\0')) {
    *value = arg[length] == '=' ? arg + length + 1 : nullptr;
  } else if (short_name != 0 && arg[0] == '-' && arg[1] == short_name) {
    *value = arg[2] != '\0' ? arg + 2 : nullptr;
  } else {
    return false;
  }
  if (*value == nullptr && *i + 1 < argc) *value = argv[++*i];
  return true;
}

// A whole decimal number from 0 to max.
bool parse_whole(const char* text, long long max, long long* value) {
  char* end = nullptr;
  errno = 0;
  long long number = std::strtoll(text, &end, 10);
  if (end == text || *end != '\0' || errno != 0 || number < 0 || number > max) return false;
  *value = number;
  return true;
}

// Reads the options into limits; stops at -V or --version. False, with
// the reason in text, at the first argument it cannot take.
bool parse_arguments(int argc, char** argv, Limits* limits, Line* text) {
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    const char* value = nullptr;
    if (std::strcmp(arg, "-V") == 0 || std::strcmp(arg, "--version") == 0) {
      limits->version = true;
      return true;
    }
    if (take_option(argc, argv, &i, 0, "--directory", &value)) {
      if (value != nullptr && *value != '\0') {
        limits->directory = value;
        continue;
      }
      add(text, "no value for --directory");
      return false;
    }
    const NumberOption* taken = nullptr;
    for (const NumberOption& option : kNumberOptions) {
      if (taken == nullptr && take_option(argc, argv, &i, option.short_name, option.long_name, &value)) {
        taken = &option;
      }
    }
    if (taken == nullptr) {
      add(text, "bad argument '%s'", arg);
      return false;
    }
    if (value == nullptr) {
      add(text, "no value for %s", taken->long_name);
      return false;
    }
    if (!parse_whole(value, taken->max, &(limits->*taken->value))) {
      add(text, "bad value '%s' for %s", value, taken->long_name);
      return false;
    }
  }
  return true;
}

// The result file of the last completed run: its start time and counts.
Found read_last_run(const char* path, LastRun* run) {
  int fd = open_regular(path, O_RDONLY, 0, Links::refuse);
  if (fd < 0) return errno == ENOENT ? Found::missing : Found::unreadable;
  char text[kResultSize];
  ssize_t n = read_full(fd, text, sizeof text - 1);
  ::close(fd);
  if (n < 0) return Found::unreadable;
  text[n] = '\0';
  run->found =
      read_result_head(text, &run->head) && run->head.start >= INT32_MIN && run->head.start <= INT32_MAX;
  return run->found ? Found::yes : Found::malformed;
}

// Whether a run holds the lock file, or else its journal is set. The
// journal is read first: a run that ends between the two looks like a run
// in progress, never like an interrupted one.
LockState read_lock_state(const char* path) {
  int fd = open_regular(path, O_RDONLY, 0, Links::refuse);
  if (fd < 0) return errno == ENOENT ? LockState::idle : LockState::unreadable;
  Journal journal;
  JournalState mark = read_journal(fd, &journal);
  bool held = run_lock_is_held(fd);
  ::close(fd);
  if (held) return LockState::running;
  if (mark == JournalState::unreadable) return LockState::unreadable;
  return mark == JournalState::none ? LockState::idle : LockState::pending;
}

// An age in its largest whole unit: seconds, minutes, hours, then days.
void put_age(Line* line, long long seconds) {
  if (seconds < 120) {
    add(line, "%llds", seconds);
  } else if (seconds < 2 * 3600LL) {
    add(line, "%lldm", seconds / 60);
  } else if (seconds < 2 * 86400LL) {
    add(line, "%lldh", seconds / 3600);
  } else {
    add(line, "%lldd", seconds / 86400);
  }
}

// A time as local "YYYY-MM-DD HH:MM".
void put_stamp(Line* line, long seconds) {
  char text[64];
  add(line, "%s", format_local_time(seconds, "%Y-%m-%d %H:%M", text, sizeof text));
}

// The last run's part of the line and of the performance data.
int judge_last_run(const Limits& limits, const char* path, std::int64_t now, Line* text, Line* perf,
                   LastRun* run) {
  switch (read_last_run(path, run)) {
    case Found::missing:
      add(text, "no result file '%s'", path);
      return kStatusCritical;
    case Found::malformed:
      add(text, "no run result in '%s'", path);
      return kStatusCritical;
    case Found::unreadable:
      add(text, "cannot read '%s'", path);
      return kStatusUnknown;
    case Found::yes:
      break;
  }
  long long age = now - run->head.start;
  long long warning = limits.warning_hours * 3600LL;
  long long critical = limits.critical_hours * 3600LL;
  add(perf, "age=%llds;%lld;%lld", age, warning, critical);
  add(text, "last run ");
  if (age < 0) {
    add(text, "at ");
    put_stamp(text, run->head.start);
    add(text, ", in the future");
    return kStatusWarning;
  }
  put_age(text, age);
  add(text, " ago at ");
  put_stamp(text, run->head.start);
  if (age > critical) return kStatusCritical;
  return age > warning ? kStatusWarning : kStatusOk;
}

// The whole records of the file at path.
Found count_records(const char* path, long long* records) {
  struct stat st;
  if (::stat(path, &st) != 0) return errno == ENOENT ? Found::missing : Found::unreadable;
  if (!S_ISREG(st.st_mode)) return Found::unreadable;
  *records = static_cast<long long>(st.st_size) / static_cast<long long>(kRecordSize);
  return Found::yes;
}

// How far the database shrank against the backup of the last run, when
// there is one: CRITICAL past the limit.
int judge_shrink(const Limits& limits, const char* backup_path, long long records, Line* text, Line* perf) {
  long long backup = 0;
  switch (count_records(backup_path, &backup)) {
    case Found::yes:
      break;
    case Found::missing:
      return kStatusOk;  // no run has made one yet
    default:
      add(text, ", cannot read '%s'", backup_path);
      return kStatusUnknown;
  }
  // In tenths of a percent, rounded up: the figure shown is above the
  // whole-percent limit exactly when the shrink is. A database that grew
  // shrank by 0.
  long long tenths = backup > records ? ((backup - records) * 1000 + backup - 1) / backup : 0;
  add(perf, " shrink=%lld.%lld%%;;%lld", tenths / 10, tenths % 10, limits.max_shrink);
  if (tenths <= limits.max_shrink * 10) return kStatusOk;
  add(text, ", shrunk %lld.%lld%% from the %lld of '%s'", tenths / 10, tenths % 10, backup, backup_path);
  return kStatusCritical;
}

// The database's part: its whole records now, against the minimum and
// against the backup.
int judge_database(const Limits& limits, const SiteConfig& config, Line* text, Line* perf) {
  long long records = 0;
  switch (count_records(config.database_path, &records)) {
    case Found::yes:
      break;
    case Found::missing:
      add(text, ", no database '%s'", config.database_path);
      return kStatusCritical;
    default:
      add(text, ", cannot read '%s'", config.database_path);
      return kStatusUnknown;
  }
  add(text, ", %lld records", records);
  add(perf, "%srecords=%lld;;%lld:", perf->used > 0 ? " " : "", records, limits.min_records);
  int state = kStatusOk;
  if (records < limits.min_records) {
    add(text, ", below the minimum of %lld", limits.min_records);
    state = kStatusCritical;
  }
  return worse(state, judge_shrink(limits, config.backup_path, records, text, perf));
}

// The lock file's part: a run in progress, or an interrupted one.
int judge_lock(const char* path, Line* text) {
  switch (read_lock_state(path)) {
    case LockState::idle:
      return kStatusOk;
    case LockState::running:
      add(text, ", run in progress");
      return kStatusOk;
    case LockState::pending:
      add(text, ", journal of an interrupted run pending in '%s'", path);
      return kStatusCritical;
    case LockState::unreadable:
      add(text, ", cannot read '%s'", path);
      return kStatusUnknown;
  }
  return kStatusUnknown;
}

// Writes "KESTOL STATE - text[ | perf]" and answers state, or UNKNOWN when
// the line cannot be written.
int report(int state, const Line& text, const Line& perf) {
  std::printf("KESTOL %s - %s", kStateNames[state], text.text);
  if (perf.used > 0) std::printf(" | %s", perf.text);
  std::putchar('\n');
  return std::fflush(stdout) == 0 && !std::ferror(stdout) ? state : kStatusUnknown;
}

}  // namespace

int run_status(int argc, char** argv) {
  Limits limits;
  Line text = {};
  Line perf = {};
  if (!parse_arguments(argc, argv, &limits, &text)) {
    std::fprintf(stderr, "usage: %s\n", kStatusUsage);
    return report(kStatusUnknown, text, perf);
  }
  if (limits.version) {
    write_wptool_version(stdout);
    return std::fflush(stdout) == 0 && !std::ferror(stdout) ? kStatusOk : kStatusUnknown;
  }
  if (limits.warning_hours > limits.critical_hours) {
    add(&text, "warning limit %lldh above the critical limit %lldh", limits.warning_hours,
        limits.critical_hours);
    return report(kStatusUnknown, text, perf);
  }
  if (limits.directory != nullptr && ::chdir(limits.directory) != 0) {
    add(&text, "cannot enter '%s'", limits.directory);
    return report(kStatusUnknown, text, perf);
  }
  // The paths only: the run's day thresholds play no part here.
  SiteConfig config;
  ConfigResult read = read_site_config(open_init_file(), 0, 0, 0, &config);
  if (read != ConfigResult::read) {
    add(&text,
        read == ConfigResult::no_base_directory ? "no base directory in init.srv" : "cannot open init.srv");
    return report(kStatusUnknown, text, perf);
  }
  std::time_t now = std::time(nullptr);
  if (now == static_cast<std::time_t>(-1)) {
    add(&text, "cannot read the clock");
    return report(kStatusUnknown, text, perf);
  }
  LastRun run = {};
  int state = judge_last_run(limits, config.result_file_name, now, &text, &perf, &run);
  state = worse(state, judge_database(limits, config, &text, &perf));
  state = worse(state, judge_lock(config.lock_path, &text));
  if (run.found) {
    add(&perf, " total=%ld updated=%ld deleted=%ld lines=%ld", run.head.total, run.head.updated,
        run.head.deleted, run.head.lines);
  }
  return report(state, text, perf);
}
