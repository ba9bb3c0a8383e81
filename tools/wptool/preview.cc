// The preview: kestol's argument rules, configuration and thresholds, then
// every whole record of the database through review_record, the run's
// counts and summary, reading only. Nothing is locked, created or changed.
#include "tools/wptool/preview.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

#include "config/site_config.h"
#include "files/announce.h"
#include "files/journal.h"
#include "records/review.h"
#include "run/command_line.h"
#include "run/messages.h"
#include "run/record_count.h"
#include "run/summary.h"
#include "tools/wptool/dump.h"
#include "util/fd_io.h"

namespace {

// Exit statuses: those of a run for what the preview shares with it, and
// wptool's own for a bad --at.
constexpr int kOk = 0;
constexpr int kFailure = 1;   // init.srv, clock, standard output
constexpr int kNoCopy = 2;    // no database to copy, or none to restore
constexpr int kBadTime = 2;   // wptool's usage status
constexpr int kNoBackup = 3;  // the database cannot be read
constexpr int kNoUpdateFile = 5;

// Seconds since 1970, or local "YYYY-MM-DD HH:MM:SS" that names an actual
// local time; false on anything else.
bool parse_time(const char* text, std::int64_t* seconds) {
  int year, month, day, hour, minute, second, end = -1;
  if (std::sscanf(text, "%4d-%2d-%2d %2d:%2d:%2d%n", &year, &month, &day, &hour, &minute, &second, &end) ==
          6 &&
      end > 0 && text[end] == '\0') {
    std::tm fields{};
    fields.tm_year = year - 1900;
    fields.tm_mon = month - 1;
    fields.tm_mday = day;
    fields.tm_hour = hour;
    fields.tm_min = minute;
    fields.tm_sec = second;
    fields.tm_isdst = -1;
    std::tm asked = fields;
    *seconds = std::mktime(&fields);
    // mktime moves fields that are out of range, or in a gap of the local
    // clock: such a text names no local time.
    return fields.tm_year == asked.tm_year && fields.tm_mon == asked.tm_mon &&
           fields.tm_mday == asked.tm_mday && fields.tm_hour == asked.tm_hour &&
           fields.tm_min == asked.tm_min && fields.tm_sec == asked.tm_sec;
  }
  char* stop = nullptr;
  errno = 0;
  long long value = std::strtoll(text, &stop, 10);
  *seconds = value;
  return stop != text && *stop == '\0' && errno == 0;
}

// "KIND<tab>INDEX<tab>CALLSIGN<tab>", the callsign as the file holds it.
void put_head(const char* kind, std::int32_t index, const char (&callsign)[7]) {
  std::printf("%s\t%ld\t", kind, static_cast<long>(index));
  put_text(callsign, stdout);
  std::putchar('\t');
}

// Why the rule dropped the record. The duplicate table still holds what it
// held when the record was looked up, so its matching slot gives the index
// of the record that filled it.
void put_drop_reason(DropRule rule, const WpRecord& record, const DuplicateFilter& duplicates) {
  switch (rule) {
    case DropRule::callsign:
      std::fputs("callsign", stdout);
      break;
    case DropRule::missing_route:
      std::fputs("missing home route", stdout);
      break;
    case DropRule::route_shape:
      std::fputs("route shape", stdout);
      break;
    case DropRule::duplicate:
      std::printf("duplicate of the record at index %ld",
                  static_cast<long>(kFirstKeyedIndex + duplicates.slot_of(record.callsign)));
      break;
    case DropRule::not_seen:
      std::fputs("not seen since ", stdout);
      put_time_text(get_time(record.last_seen), stdout);
      break;
    case DropRule::none:
      break;
  }
}

void put_promoted_fields(unsigned promoted) {
  const char* separator = "";
  const struct {
    unsigned bit;
    const char* name;
  } fields[] = {{kPromotedHomeBbs, "home_bbs"}, {kPromotedZip, "zip"}, {kPromotedLocation, "location"}};
  for (const auto& field : fields) {
    if ((promoted & field.bit) == 0) continue;
    std::printf("%s%s", separator, field.name);
    separator = ",";
  }
}

// The duplicate table of the preview, as large as the run's.
DuplicateFilter duplicates;

// Reviews every whole record of in as a run does and writes its lines. The
// announcer writes the update line of a record into held, a buffer of no
// file, where it waits until the record's other lines are out. False on a
// read error.
bool preview_records(std::FILE* in, const RunOptions& options, const SiteConfig& config,
                     RunCounters* counters) {
  char held_line[kUpdateLineSize];
  Announcer announcer;
  announcer.messages = {-1, held_line, sizeof held_line, 0, false};  // one line at most: never written out
  announcer.update_lines = &counters->update_lines;
  duplicates.reset();
  const ReviewInputs inputs = {options.route_check, config.update_threshold, config.kill_threshold,
                               &duplicates,         &counters->total,        announcement_sink(announcer)};
  WpRecord record;
  while (read_record(in, &record)) {
    char stored_callsign[sizeof record.callsign];
    std::memcpy(stored_callsign, record.callsign, sizeof stored_callsign);
    announcer.messages.used = 0;
    ReviewNote note;
    int answer = review_record(inputs, &record, &note);
    std::size_t held_length = announcer.messages.used;
    std::int32_t index = counters->record_index;
    if (answer == kDrop) {
      put_head("drop", index, stored_callsign);
      put_drop_reason(note.rule, record, duplicates);
      std::putchar('\n');
    }
    if (note.promoted != 0) {
      put_head("promote", index, stored_callsign);
      put_promoted_fields(note.promoted);
      std::putchar('\n');
    }
    if (held_length > 0) {
      put_head("announce", index, stored_callsign);
      std::fwrite(held_line, 1, held_length - 1, stdout);  // without its line feed
      std::putchar('\n');
    }
    count_reviewed_record(answer, record, counters, &duplicates);
  }
  return !std::ferror(in);
}

// Takes the first "--at TIME" out of args; false, with a message, when it
// has no time or a bad one.
bool take_time_option(std::vector<char*>* args, bool* given, std::int64_t* at) {
  for (std::size_t i = 1; i < args->size(); ++i) {
    if (std::strcmp((*args)[i], "--at") != 0) continue;
    const char* text = i + 1 < args->size() ? (*args)[i + 1] : "";
    if (!parse_time(text, at)) {
      std::fprintf(stderr, "wptool: --at wants seconds since 1970 or YYYY-MM-DD HH:MM:SS, not '%s'\n", text);
      return false;
    }
    *given = true;
    args->erase(args->begin() + static_cast<std::ptrdiff_t>(i),
                args->begin() + static_cast<std::ptrdiff_t>(i) + 2);
    return true;
  }
  return true;
}

const char* const kUsage = "usage: wptool preview [upd-days [kill-days [update-file]]] [/NOC] [--at TIME]\n";

}  // namespace

int run_preview(int argc, char** argv) {
  std::vector<char*> args(argv, argv + argc);
  bool at_given = false;
  std::int64_t at = 0;
  if (!take_time_option(&args, &at_given, &at)) {
    std::fputs(kUsage, stderr);
    return kBadTime;
  }
  RunOptions options;
  switch (parse_command_line(static_cast<int>(args.size()), args.data(), &options)) {
    case CommandLineAction::usage:
      std::fputs(kUsage, stdout);
      return kOk;
    case CommandLineAction::version:
      write_version();
      return kOk;
    case CommandLineAction::name_long:
      std::fputs("Update file name too long\n", stderr);
      return kNoUpdateFile;
    case CommandLineAction::recover:  // changes files: not for a preview
      std::fputs(kUsage, stderr);
      return kBadTime;
    case CommandLineAction::run:
      break;
  }

  std::int64_t now = at_given ? at : static_cast<std::int64_t>(std::time(nullptr));
  // As in the run, a failed clock reading (-1) is out of range too.
  if ((!at_given && now == -1) || now > INT32_MAX || now < INT32_MIN) {
    std::fputs(at_given ? "wptool: --at time out of range\n" : "System time out of range\n", stderr);
    return at_given ? kBadTime : kFailure;
  }
  SiteConfig config;
  if (!read_site_config(open_init_file(), static_cast<std::int32_t>(now), options.upd_days, options.kill_days,
                        &config)) {
    return kFailure;
  }

  // A run that finds the rewriting mark restores the database from the
  // backup first and then works on that: so does the preview.
  const char* source = config.database_path;
  int lock = open_regular(config.lock_path, O_RDONLY, 0, Links::refuse);
  if (lock >= 0) {
    Journal journal;
    if (read_mark(lock, &journal) == MarkState::marked) source = config.backup_path;
    ::close(lock);
  }
  // Like the run, never through a symbolic link, and never a FIFO or a
  // device that would hold the preview.
  int fd = open_regular(source, O_RDONLY, 0, Links::refuse);
  std::FILE* in = fd >= 0 ? fdopen(fd, "rb") : nullptr;
  if (in == nullptr) {
    if (fd >= 0) ::close(fd);
    if (source == config.database_path) {
      std::fprintf(stderr, "Cannot find %s\n", source);
    } else {
      std::fprintf(stderr, "Cannot restore '%s' from '%s'\n", config.database_path, config.backup_path);
    }
    return kNoCopy;
  }
  if (source != config.database_path) {
    std::fprintf(stderr, "Previous run was interrupted: a run restores '%s' from '%s' first; previewing it\n",
                 config.database_path, config.backup_path);
  }
  RunCounters counters;
  bool read = preview_records(in, options, config, &counters);
  std::fclose(in);
  if (!read) {
    std::fprintf(stderr, "Error while reading file '%s'\n", source);
    return kNoBackup;
  }
  write_summary_counts(counters);
  return std::fflush(stdout) == 0 && !std::ferror(stdout) ? kOk : kFailure;
}
