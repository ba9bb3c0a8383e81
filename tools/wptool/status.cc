// The site status for a monitoring system: the last completed run from
// kestol.res, the records in the database now, and from the lock file
// whether a run holds it or an interrupted run left its journal, judged
// against the age limits. Files are only opened for reading and asked
// about; the lock is queried, never taken, so a poll cannot make a
// starting run find the database in use.
#include "tools/wptool/status.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
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
#include "util/date_stamp.h"
#include "util/fd_io.h"

namespace {

constexpr long kMaxHours = 1000000;  // more than a 32-bit clock spans
constexpr std::size_t kLineSize = 1024;
constexpr std::size_t kResultSize = 512;  // the counts come well before this

const char* const kUsage = "usage: wptool status [--warning=HOURS] [--critical=HOURS] [--directory=DIR]\n";
const char* const kStateNames[] = {"OK", "WARNING", "CRITICAL", "UNKNOWN"};

struct Limits {
  long warning_hours = 26;
  long critical_hours = 50;
  const char* directory = nullptr;
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

// "NAME=HOURS" into *hours when text starts with name; false when it does
// not, and *bad when the hours are not a whole number in range.
bool take_hours(const char* text, const char* name, long* hours, bool* bad) {
  std::size_t length = std::strlen(name);
  if (std::strncmp(text, name, length) != 0) return false;
  char* end = nullptr;
  errno = 0;
  long value = std::strtol(text + length, &end, 10);
  *bad = end == text + length || *end != '\0' || errno != 0 || value < 0 || value > kMaxHours;
  *hours = value;
  return true;
}

// Reads the options; answers the first bad argument, or nullptr.
const char* parse_arguments(int argc, char** argv, Limits* limits) {
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    bool bad = false;
    if (take_hours(arg, "--warning=", &limits->warning_hours, &bad) ||
        take_hours(arg, "--critical=", &limits->critical_hours, &bad)) {
      if (bad) return arg;
    } else if (std::strncmp(arg, "--directory=", 12) == 0 && arg[12] != '\0') {
      limits->directory = arg + 12;
    } else {
      return arg;
    }
  }
  return nullptr;
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
  MarkState mark = read_mark(fd, &journal);
  bool held = run_lock_is_held(fd);
  ::close(fd);
  if (held) return LockState::running;
  if (mark == MarkState::unreadable) return LockState::unreadable;
  return mark == MarkState::marked ? LockState::pending : LockState::idle;
}

// An age in its largest whole unit: seconds, minutes, hours, then days.
void put_age(Line* line, long long seconds) {
  if (seconds < 120) {
    add(line, "%llds", seconds);
  } else if (seconds < 2 * 3600) {
    add(line, "%lldm", seconds / 60);
  } else if (seconds < 2 * 86400) {
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

// The database's part: its whole records now.
int judge_database(const char* path, Line* text, Line* perf) {
  struct stat st;
  bool found = ::stat(path, &st) == 0;
  if (found && S_ISREG(st.st_mode)) {
    long long records = static_cast<long long>(st.st_size) / static_cast<long long>(kRecordSize);
    add(text, ", %lld records", records);
    add(perf, "%srecords=%lld", perf->used > 0 ? " " : "", records);
    return kStatusOk;
  }
  if (!found && errno == ENOENT) {
    add(text, ", no database '%s'", path);
    return kStatusCritical;
  }
  add(text, ", cannot read '%s'", path);
  return kStatusUnknown;
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
  if (const char* bad = parse_arguments(argc, argv, &limits)) {
    add(&text, "bad argument '%s'", bad);
    std::fputs(kUsage, stderr);
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
  state = worse(state, judge_database(config.database_path, &text, &perf));
  state = worse(state, judge_lock(config.lock_path, &text));
  if (run.found) {
    add(&perf, " total=%ld updated=%ld deleted=%ld lines=%ld", run.head.total, run.head.updated,
        run.head.deleted, run.head.lines);
  }
  return report(state, text, perf);
}
