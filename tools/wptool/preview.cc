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
#include "files/file_names.h"
#include "files/path_walk.h"
#include "records/review.h"
#include "run/clock.h"
#include "run/command_line.h"
#include "run/failure.h"
#include "run/messages.h"
#include "run/record_loop.h"
#include "run/site_folders.h"
#include "run/summary.h"
#include "run/way_back.h"
#include "tools/wptool/dump.h"
#include "util/fd_io.h"

namespace {

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
                  static_cast<long>(kFirstKeyedIndex) + duplicates.slot_of(record.callsign));
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

// A preview's state: the counts and the duplicate table of the run it
// shows, and the update line of the record being reviewed, held until the
// record's other lines are out.
struct Preview {
  RunCounters counters;
  DuplicateFilter duplicates = {};
  char held_line[kUpdateLineSize];
  std::size_t held_length = 0;
  WpRecord block[kBlockRecords];
  char numbers[2][24] = {};  // the numbers a failure names
  SiteConfig config;         // outlives the preview: a failure names its paths
};

// The sink of the preview's announcements: the update line formatted, not
// written to any file.
void hold_update_line(void* target, const WpRecord& record) {
  auto& preview = *static_cast<Preview*>(target);
  if (!has_update_line(record.update_kind)) return;
  preview.held_length = format_update_line(record, preview.held_line);
  ++preview.counters.update_lines;
}

// The lines of one reviewed record: drop, promote, announce.
void put_record_lines(void* target, const WpRecord& read, const WpRecord& record, int answer,
                      const ReviewNote& note, std::int32_t index) {
  auto& preview = *static_cast<Preview*>(target);
  if (answer == kDrop) {
    put_head("drop", index, read.callsign);
    put_drop_reason(note.rule, record, preview.duplicates);
    std::putchar('\n');
  }
  if (note.promoted != 0) {
    put_head("promote", index, read.callsign);
    put_promoted_fields(note.promoted);
    std::putchar('\n');
  }
  if (preview.held_length > 0) {
    put_head("announce", index, read.callsign);
    std::fwrite(preview.held_line, 1, preview.held_length - 1, stdout);  // without its line feed
    std::putchar('\n');
    preview.held_length = 0;
  }
}

// Takes the first "--at TIME" out of args; false, with a message, when it
// has no time or a bad one.
bool take_time_option(std::vector<char*>* args, bool* given, std::int64_t* at) {
  for (std::size_t i = 1; i < args->size(); ++i) {
    if (std::strcmp((*args)[i], "--at") != 0) continue;
    const char* text = i + 1 < args->size() ? (*args)[i + 1] : "";
    if (!parse_time(text, at)) {
      write_failure(fail(Failure::preview_bad_time, text));
      return false;
    }
    *given = true;
    args->erase(args->begin() + static_cast<std::ptrdiff_t>(i),
                args->begin() + static_cast<std::ptrdiff_t>(i) + 2);
    return true;
  }
  return true;
}

const char* const kUsage =
    "usage: wptool preview [--max-drop=P] [upd-days [kill-days [update-file]]] [/NOC] [--at TIME]\n";

// The preview's usage on request, /H as well: on standard output.
void write_preview_usage(std::FILE*) { std::fputs(kUsage, stdout); }

// The preview from the clock to the summary, or its first failure.
Failed preview(const RunOptions& options, bool at_given, std::int64_t at, Preview& state) {
  std::int32_t now = 0;
  if (at_given) {
    if (!time_in_range(at)) return fail(Failure::preview_time_out_of_range);
    now = static_cast<std::int32_t>(at);
  } else if (Failed f = read_start_time(&now)) {
    return f;
  }
  SiteConfig& config = state.config;
  int init = open_init_file();
  if (Failed f = read_configuration(init, errno, now, options, &config)) return f;
  // The run's folder and files, reached as the run reaches them, read only.
  OpenFolder folder;
  char shown[kRealPathSize];
  char unused[kNameSize];
  int walked = walk_path({config.folder_path, nullptr, false, true, false}, &folder, unused, shown) ==
                       WalkResult::opened
                   ? 0
                   : errno;
  bool interrupted = false;
  const char* source = next_run_source(folder.fd, &interrupted);
  errno = walked;
  int fd = folder.fd >= 0 ? open_regular_at(folder.fd, source, O_RDONLY, 0, Links::refuse) : -1;
  int error = errno;
  close_folder(&folder);
  const char* backup = config.new_backup_path;  // the backup of an interrupted run
  if (fd < 0) {
    return interrupted ? fail_call(Failure::cannot_restore, error, config.database_path, backup, backup)
                       : fail_call(Failure::no_database, error, config.database_path);
  }
  if (interrupted) {
    std::fprintf(stderr, "Previous run was interrupted: a run restores '%s' from '%s' first; previewing it\n",
                 config.database_path, backup);
  }
  const ReviewPass pass = {options.route_check,
                           config.update_threshold,
                           config.kill_threshold,
                           {hold_update_line, &state},
                           nullptr,
                           nullptr,
                           put_record_lines,
                           &state,
                           false};
  std::int64_t written = 0;
  LoopResult read = review_records(fd, -1, pass, state.block, &state.counters, &state.duplicates, &written);
  close_fd(fd);  // read-only
  if (read != LoopResult::done)
    return fail(Failure::preview_read_failed, interrupted ? backup : config.database_path);
  write_summary_counts(state.counters);
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) return fail(Failure::preview_output_failed);
  // What a run with --max-drop would then do.
  std::int64_t kept = written / static_cast<std::int64_t>(kRecordSize);
  std::int64_t dropped = state.counters.record_index - kept;
  if (options.max_drop >= 0 &&
      dropped * 100 > static_cast<std::int64_t>(options.max_drop) * state.counters.record_index) {
    std::snprintf(state.numbers[0], sizeof state.numbers[0], "%ld", static_cast<long>(dropped));
    std::snprintf(state.numbers[1], sizeof state.numbers[1], "%ld",
                  static_cast<long>(state.counters.record_index));
    return fail(Failure::too_many_drops, state.numbers[0], state.numbers[1]);
  }
  return {};
}

}  // namespace

int run_preview(int argc, char** argv) {
  std::vector<char*> args(argv, argv + argc);
  bool at_given = false;
  std::int64_t at = 0;
  if (!take_time_option(&args, &at_given, &at)) {
    std::fputs(kUsage, stderr);
    return failure_status(Failure::preview_bad_time);
  }
  RunOptions options;
  int status = 0;
  if (answer_command_line(parse_command_line(static_cast<int>(args.size()), args.data(), &options), options,
                          write_preview_usage, &status)) {
    return status;
  }
  if (options.recover || options.restore >= 0) {  // they change files: not for a preview
    std::fputs(kUsage, stderr);
    return failure_status(Failure::preview_bad_time);
  }
  Preview state;
  return report_failure(preview(options, at_given, at, state));
}
